#include "portcheck.h"

#include <QFileInfo>
#include <QSerialPort>

namespace portcheck {

Diagnosis diagnose(const QString &port)
{
    QSerialPort serial;
    serial.setPortName(port);
    if (serial.open(QIODevice::ReadWrite)) {
        serial.close();
        return {PortState::Openable, QString()};
    }
    switch (serial.error()) {
    case QSerialPort::DeviceNotFoundError:
        return {PortState::Missing, QString()};
    case QSerialPort::PermissionError: {
        // The same error for a port held by someone else and for one this
        // user may not open; the device's own permissions tell them apart.
        const QFileInfo info(port.startsWith(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + serial.portName());
        if (info.exists() && (!info.isReadable() || !info.isWritable()))
            return {PortState::NotPermitted, QString()};
        return {PortState::Busy, QString()};
    }
    default:
        return {PortState::Failed, serial.errorString()};
    }
}

} // namespace portcheck
