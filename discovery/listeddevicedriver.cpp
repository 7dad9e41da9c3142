#include "listeddevicedriver.h"

#include "portcheck.h"

#include <QDebug>
#include <QFile>
#include <QSerialPortInfo>

#include <algorithm>
#include <cerrno>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace discovery {

namespace {

int systemAccess(const QString &portName)
{
#ifdef Q_OS_UNIX
    if (!portName.startsWith(QLatin1Char('/')))
        return 0;
    return ::access(QFile::encodeName(portName).constData(), R_OK | W_OK) == 0 ? 0 : errno;
#else
    Q_UNUSED(portName)
    return 0;
#endif
}

} // namespace

ListedDeviceDriver::ListedDeviceDriver(QVector<ListedDevice> devices, AccessCheck accessCheck)
    : m_devices(std::move(devices))
    , m_accessCheck(accessCheck ? std::move(accessCheck) : AccessCheck(systemAccess))
{
}

DriverStatus ListedDeviceDriver::createDeviceInfoList(quint32 *count)
{
    *count = quint32(m_devices.size());
    return kDriverOk;
}

DriverStatus ListedDeviceDriver::getDeviceInfoList(QVector<DeviceInfo> *records, quint32 *count)
{
    const int n = std::min(records->size(), m_devices.size());
    for (int i = 0; i < n; ++i)
        (*records)[i] = DeviceInfo{m_devices.at(i).serialNumber, m_devices.at(i).description};
    *count = quint32(n);
    return kDriverOk;
}

DriverStatus ListedDeviceDriver::open(int index, DeviceHandle *handle)
{
    if (index < 0 || index >= m_devices.size())
        return kDriverDeviceNotFound;
    const ListedDevice &device = m_devices.at(index);
    const int error = m_accessCheck(device.portName);
    if (error == EACCES || error == EPERM) {
        // Left out of the list, so the log file is where the user learns why.
        portcheck::report(device.portName, {portcheck::PortState::NotPermitted, QString()});
        return kDriverDeviceNotOpened;
    }
    if (error != 0)
        return kDriverDeviceNotFound;
    portcheck::forget(device.portName);
    *handle = DeviceHandle(index) + 1; // 0 stays "no handle"
    return kDriverOk;
}

DriverStatus ListedDeviceDriver::comPortNumber(DeviceHandle handle, long *number, QString *systemName)
{
    Q_UNUSED(number)
    if (handle == 0 || handle > DeviceHandle(m_devices.size()))
        return kDriverInvalidHandle;
    *systemName = m_devices.at(int(handle - 1)).portName;
    return kDriverOk;
}

DriverStatus ListedDeviceDriver::close(DeviceHandle handle)
{
    return handle == 0 || handle > DeviceHandle(m_devices.size()) ? kDriverInvalidHandle : kDriverOk;
}

QVector<ListedDevice> ftdiBridges(const QVector<SerialPortFacts> &ports)
{
    QVector<ListedDevice> bridges;
    for (const SerialPortFacts &port : ports) {
        if (!port.hasVendorIdentifier || port.vendorIdentifier != kFtdiVendorId)
            continue;
        bridges.append(ListedDevice{port.serialNumber.toLatin1(), port.description.toLatin1(), port.systemLocation});
    }
    std::stable_sort(bridges.begin(), bridges.end(), [](const ListedDevice &a, const ListedDevice &b) {
        if (a.portName.size() != b.portName.size())
            return a.portName.size() < b.portName.size();
        return a.portName < b.portName;
    });
    return bridges;
}

std::unique_ptr<DeviceDriver> createSerialPortDriver()
{
    QVector<SerialPortFacts> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        ports.append(SerialPortFacts{info.systemLocation(), info.hasVendorIdentifier(), info.vendorIdentifier(),
                                     info.serialNumber(), info.description()});
    }
    return std::make_unique<ListedDeviceDriver>(ftdiBridges(ports));
}

} // namespace discovery
