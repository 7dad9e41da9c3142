#include "portcheck.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSerialPort>
#include <QSet>

#ifdef Q_OS_LINUX
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

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
        return QStringLiteral("this user is not permitted to open it; ") + permissionAdvice();
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

QString permissionAdvice()
{
#ifdef Q_OS_LINUX
    const QString rule = QStringLiteral("60-nvx7300.rules");
    // Where udev reads rules: the package's place, and the administrator's.
    for (const char *folder : {"/etc/udev/rules.d/", "/usr/lib/udev/rules.d/", "/lib/udev/rules.d/"}) {
        if (QFileInfo::exists(QLatin1String(folder) + rule))
            return QStringLiteral("the udev rule %1 is installed: unplug the instrument and plug it in again, and "
                                  "use it from the desktop session (the rule gives the port to the user at the seat)")
                .arg(QLatin1String(folder) + rule);
    }
    // A copy that udev does not read: installed under another prefix, or the source tree's.
    const QString copies[] = {QCoreApplication::applicationDirPath() + QStringLiteral("/../lib/udev/rules.d/") + rule,
                              QStringLiteral(NVX_SOURCE_DIR "/packaging/linux/") + rule};
    for (const QString &copy : copies) {
        if (QFileInfo::exists(copy))
            return QStringLiteral("install the udev rule: sudo cp %1 /etc/udev/rules.d/ && sudo udevadm control "
                                  "--reload-rules && sudo udevadm trigger, then unplug the instrument and plug it in again")
                .arg(QFileInfo(copy).canonicalFilePath());
    }
    return QStringLiteral("install the udev rule: install the nvx7300-toolkit package, or copy %1 from the source "
                          "tree's packaging/linux to /etc/udev/rules.d/, then unplug the instrument and plug it in again")
        .arg(rule);
#else
    return QStringLiteral("ask the computer's administrator for access to the port");
#endif
}

QString notASerialPort(const QString &port)
{
#ifdef Q_OS_LINUX
    struct stat info = {};
    if (::stat(QFile::encodeName(port).constData(), &info) != 0)
        return QString();
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("a folder");
    if (!S_ISCHR(info.st_mode))
        return QStringLiteral("a file");
    // The kernel files each character device under its kind; pseudo-terminals under none.
    const QString kind = QFileInfo(QStringLiteral("/sys/dev/char/%1:%2/subsystem")
                                       .arg(major(info.st_rdev))
                                       .arg(minor(info.st_rdev)))
                             .symLinkTarget();
    if (!kind.isEmpty() && QFileInfo(kind).fileName() != QLatin1String("tty"))
        return QStringLiteral("a device of the kind \"%1\"").arg(QFileInfo(kind).fileName());
#else
    Q_UNUSED(port)
#endif
    return QString();
}

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
