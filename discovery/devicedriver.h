#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

namespace discovery {

// The five calls the device scan needs from a USB-serial bridge driver. The
// scan is written once against this; behind it sit the vendor driver library
// (Windows), the system's serial-port list (elsewhere), extra devices that a
// process registers, and the fakes of the tests.
using DriverStatus = quint32; // 0 is success, anything else a failure
using DeviceHandle = quintptr;

constexpr DriverStatus kDriverOk = 0;
constexpr DriverStatus kDriverInvalidHandle = 1;
constexpr DriverStatus kDriverDeviceNotFound = 2;
constexpr DriverStatus kDriverDeviceNotOpened = 3;
constexpr DriverStatus kDriverOtherError = 4;

// One attached bridge as the driver reports it: 8-bit texts, taken as Latin-1.
struct DeviceInfo
{
    QByteArray serialNumber;
    QByteArray description;
};

class DeviceDriver
{
public:
    virtual ~DeviceDriver() = default;

    // Builds the driver's list of attached bridges and reports their number.
    virtual DriverStatus createDeviceInfoList(quint32 *count) = 0;

    // Fills the list, which arrives sized for *count records, and writes back
    // in *count how many records it filled (never more than the list holds).
    virtual DriverStatus getDeviceInfoList(QVector<DeviceInfo> *records, quint32 *count) = 0;

    virtual DriverStatus open(int index, DeviceHandle *handle) = 0;

    // Where an open device's serial port is. Drivers of numbered COM ports
    // write *number; drivers whose ports are system paths (/dev/ttyUSB0)
    // write *systemName instead, and then the number is not used.
    virtual DriverStatus comPortNumber(DeviceHandle handle, long *number, QString *systemName) = 0;

    virtual DriverStatus close(DeviceHandle handle) = 0;
};

// One instrument as the scan found it.
struct ScanEntry
{
    QString serialNumber;
    QString description;
    QString portName;
};

// More than a USB tree can hold; bounds the record list a confused driver
// could ask for.
constexpr quint32 kMaxDriverDevices = 4096;

// Lists the bridges whose description is exactly "NVX7300", each opened just
// long enough to learn its port. Appends to *entries and returns their number.
int scanDevices(DeviceDriver &driver, QList<ScanEntry> *entries);

} // namespace discovery
