#include "loghandler.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdlib>

namespace {

// Installing an empty handler restores Qt's default and returns the one that
// was current; re-installing it keeps start-up's view of the world unchanged.
QtMessageHandler capturePreviousHandler()
{
    QtMessageHandler previous = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(previous);
    return previous;
}

const QtMessageHandler previousHandler = capturePreviousHandler();

constexpr char kTimestampFormat[] = "dd/MM/yyyy hh:mm:ss";
constexpr char kLogFileName[] = "/NVX7300Toolkit.log";

} // namespace

namespace nvx {

QString logLineFor(QtMsgType type, const QString &message, const QString &timestamp)
{
    switch (type) {
    case QtCriticalMsg:
        return timestamp + QLatin1Char(' ') + QStringLiteral("{Critical} \t %1").arg(message);
    case QtFatalMsg:
        return timestamp + QLatin1Char(' ') + QStringLiteral("{Fatal} \t\t %1").arg(message);
    default:
        return QString();
    }
}

QString logFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QLatin1String(kLogFileName);
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString timestamp = QDateTime::currentDateTime().toString(QLatin1String(kTimestampFormat));
    const QString line = logLineFor(type, message, timestamp);

    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (!QDir(folder).exists())
        QDir().mkpath(folder);

    // A log that cannot be opened loses the line, never the message.
    QFile file(folder + QLatin1String(kLogFileName));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        QTextStream stream(&file);
        stream << line << '\n';
        stream.flush();
        file.close();
    }

    if (type == QtFatalMsg)
        std::abort();

    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace nvx
