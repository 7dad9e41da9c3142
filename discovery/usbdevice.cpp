#include "usbdevice.h"

#include <QDebug>

USBDevice::USBDevice(const QString &serialNumber, const QString &portName, const QString &description)
    : m_serialNumber(serialNumber)
    , m_description(description)
    , m_portName(portName)
{
    qDebug().noquote() << QStringLiteral("Creating USB device ") + m_serialNumber + QLatin1Char(' ')
                              + m_description + QLatin1Char(' ') + m_portName;
}
