#include "portcheck.h"

#include <QDebug>
#include <QFileInfo>
#include <QMutex>
#include <QSerialPort>
#include <QSet>

namespace portcheck {

namespace {

QString reasonText(const Diagnosis &diagnosis)
{
    switch (diagnosis.state) {
    case PortState::Openable:
        return QStringLiteral("it was in use a moment ago (another program had it open)");
    case PortState::Missing:
        return QStringLiteral("no such device (unplugged, or a wrong name)");
    case PortState::Busy:
        return QStringLiteral("another program has it open");
    case PortState::NotPermitted:
        return QStringLiteral("this user is not permitted to open it; install the udev rule from packaging/linux "
                              "as the README describes, then unplug the instrument and plug it in again");
    case PortState::Failed:
        break;
    }
    return diagnosis.detail;
}

// Reports already made: the scan runs on the GUI thread, reads on the
// controller's worker thread.
struct Reported
{
    QMutex mutex;
    QSet<QString> keys; // port + '\n' + reason
};

Reported &reported()
{
    static Reported state;
    return state;
}

} // namespace

Diagnosis diagnose(const QString &port)
{
    Diagnosis diagnosis;
    QSerialPort serial;
    serial.setPortName(port);
    if (serial.open(QIODevice::ReadWrite)) {
        serial.close();
        diagnosis = {PortState::Openable, QString()};
    } else if (serial.error() == QSerialPort::DeviceNotFoundError) {
        diagnosis = {PortState::Missing, QString()};
    } else if (serial.error() == QSerialPort::PermissionError) {
        // The same error for a port held by someone else and for one this
        // user may not open; the device's own permissions tell them apart.
        const QFileInfo info(port.startsWith(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + serial.portName());
        const bool permitted = !info.exists() || (info.isReadable() && info.isWritable());
        diagnosis = {permitted ? PortState::Busy : PortState::NotPermitted, QString()};
    } else {
        diagnosis = {PortState::Failed, serial.errorString()};
    }
    report(port, diagnosis);
    return diagnosis;
}

void report(const QString &port, const Diagnosis &diagnosis)
{
    const QString reason = reasonText(diagnosis);
    {
        Reported &state = reported();
        QMutexLocker lock(&state.mutex);
        const QString key = port + QLatin1Char('\n') + reason;
        if (state.keys.contains(key))
            return;
        state.keys.insert(key);
    }
    qCritical().noquote() << QStringLiteral("Cannot open ") + port + QStringLiteral(": ") + reason;
}

void forget(const QString &port)
{
    Reported &state = reported();
    QMutexLocker lock(&state.mutex);
    const QString prefix = port + QLatin1Char('\n');
    for (auto it = state.keys.begin(); it != state.keys.end();) {
        if (it->startsWith(prefix))
            it = state.keys.erase(it);
        else
            ++it;
    }
}

} // namespace portcheck
