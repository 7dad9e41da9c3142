#include "usbdevicelist.h"

#include "devicesources.h"

#include <QDebug>
#include <QFileInfo>

USBDeviceList::USBDeviceList(QObject *parent)
    : QObject(parent)
{
}

QList<USBDevice> USBDeviceList::load()
{
    QList<discovery::ScanEntry> found;
    m_devices.clear();

    const std::unique_ptr<discovery::DeviceDriver> driver = discovery::createDriver();
    discovery::scanDevices(*driver, &found);

    for (const discovery::ScanEntry &entry : qAsConst(found)) {
        qDebug().noquote() << QStringLiteral("refreshing COM ports ") + entry.serialNumber + QLatin1Char(' ')
                                  + entry.description + QLatin1Char(' ') + entry.portName;
        m_devices.append(USBDevice(entry.serialNumber, entry.portName, entry.description));
    }
    return m_devices;
}

QString USBDeviceList::realPortName(const QString &port)
{
#ifdef Q_OS_WIN
    return port;
#else
    if (port.isEmpty())
        return port;
    const QString path = port.contains(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port;
    const QString real = QFileInfo(path).canonicalFilePath();
    return real.isEmpty() ? port : real;
#endif
}
