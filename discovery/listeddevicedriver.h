#pragma once

#include "devicedriver.h"

#include <functional>
#include <memory>

namespace discovery {

// A bridge whose serial port is known by its system name (/dev/ttyUSB0, a
// pseudo-terminal, or a COM name).
struct ListedDevice
{
    QByteArray serialNumber;
    QByteArray description;
    QString portName;
};

// Serves a fixed list of devices through the driver interface. Opening a
// device checks that this process may use its port: returns 0 when it may,
// otherwise an errno value (EACCES, EPERM, ENOENT, ...).
class ListedDeviceDriver final : public DeviceDriver
{
public:
    using AccessCheck = std::function<int(const QString &portName)>;

    // An empty check uses access(2) for ports given by absolute path.
    explicit ListedDeviceDriver(QVector<ListedDevice> devices, AccessCheck accessCheck = AccessCheck());

    DriverStatus createDeviceInfoList(quint32 *count) override;
    DriverStatus getDeviceInfoList(QVector<DeviceInfo> *records, quint32 *count) override;
    DriverStatus open(int index, DeviceHandle *handle) override;
    DriverStatus comPortNumber(DeviceHandle handle, long *number, QString *systemName) override;
    DriverStatus close(DeviceHandle handle) override;

private:
    QVector<ListedDevice> m_devices;
    AccessCheck m_accessCheck;
};

// What the system's serial-port list tells about one port.
struct SerialPortFacts
{
    QString systemLocation;
    bool hasVendorIdentifier = false;
    quint16 vendorIdentifier = 0;
    QString serialNumber;
    QString description;
};

constexpr quint16 kFtdiVendorId = 0x0403;

// The ports of FTDI bridges, in a stable order (ttyUSB2 before ttyUSB10).
// Every FTDI bridge is kept, as the vendor driver would list it; the scan
// decides which ones are instruments.
QVector<ListedDevice> ftdiBridges(const QVector<SerialPortFacts> &ports);

// The FTDI bridges among the serial ports the system knows now (udev).
std::unique_ptr<DeviceDriver> createSerialPortDriver();

} // namespace discovery
