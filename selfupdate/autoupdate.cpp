#include "autoupdate.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QtDebug>

namespace {

const char kToolName[] = "NVX7300ToolkitMaintenanceTool";
const char kCheckArgument[] = "--checkupdates";
const char kUpdateArgument[] = "--updater";
const char kDevelopmentMarker[] = "qt_projects"; // in the working directory's path
const char kInstallFolder[] = "NVX7300 Toolkit";
#ifdef Q_OS_WIN
const char kInstallRoot[] = "C:\\Program Files (x86)\\";
const char kSeparator[] = "\\";
const char kExecutableSuffix[] = ".exe";
#endif

// The bare tool name is meant to be found in the working directory. Windows
// looks there itself; elsewhere the program search covers only PATH, so a
// tool sitting in the working directory is named by its full path.
QString resolvedProgram(const QString &program)
{
#ifdef Q_OS_WIN
    return program;
#else
    if (program.contains(QLatin1Char('/')))
        return program;
    const QFileInfo local(QDir::current(), program);
    if (local.isFile() && local.isExecutable())
        return local.absoluteFilePath();
    return program;
#endif
}

} // namespace

AutoUpdate::AutoUpdate(QObject *parent)
    : QObject(parent)
{
    connect(&m_updateProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &AutoUpdate::updateFinished);
}

AutoUpdate::~AutoUpdate()
{
    // End a running update here, while this object is still whole, and
    // without reporting it: nobody is left to hear.
    m_updateProcess.disconnect(this);
    if (m_updateProcess.state() != QProcess::NotRunning) {
        m_updateProcess.kill();
        m_updateProcess.waitForFinished();
    }
}

void AutoUpdate::setPath(const QString &path)
{
    m_path = path;
    emit pathChanged(m_path);
    (void)checkForNewApplicationVersion();
}

QString AutoUpdate::developmentToolPath()
{
#ifdef Q_OS_WIN
    return QString::fromLatin1(kInstallRoot) + QString::fromLatin1(kInstallFolder) + QString::fromLatin1(kSeparator)
           + QString::fromLatin1(kToolName) + QString::fromLatin1(kExecutableSuffix);
#else
    return QDir::homePath() + QLatin1Char('/') + QString::fromLatin1(kInstallFolder) + QLatin1Char('/')
           + QString::fromLatin1(kToolName);
#endif
}

QString AutoUpdate::checkCommand(bool development)
{
    const QString program = development ? QLatin1Char('"') + developmentToolPath() + QLatin1Char('"')
                                        : QString::fromLatin1(kToolName);
    return program + QLatin1Char(' ') + QString::fromLatin1(kCheckArgument);
}

QString AutoUpdate::updateProgram(bool development)
{
    return development ? developmentToolPath() : QString::fromLatin1(kToolName);
}

bool AutoUpdate::checkForNewApplicationVersion()
{
    if (!QDir::setCurrent(m_path))
        qDebug("Could not change the current working directory");
    const QString workingDirectory = QDir::currentPath();
    qDebug().noquote() << workingDirectory;

    const bool development = workingDirectory.contains(QLatin1String(kDevelopmentMarker));
    if (development)
        qDebug("!!!!! Overriding path for development !!!!!");

    QStringList checkArguments = QProcess::splitCommand(checkCommand(development));
    const QString checkProgram = resolvedProgram(checkArguments.takeFirst());

    QProcess check;
    check.start(checkProgram, checkArguments, QIODevice::ReadWrite);
    check.waitForFinished(m_checkTimeoutMs);
    qDebug().noquote() << QStringLiteral("Check for available updates returns ") + QString::number(check.exitCode());

    if (check.error() != QProcess::UnknownError) {
        qDebug("Error checking for updates");
        if (check.state() != QProcess::NotRunning) {
            check.kill();
            check.waitForFinished();
        }
        return false;
    }
    if (check.exitCode() != 0) {
        qDebug("No updates available");
        return false;
    }

    emit starting();
    m_updateProcess.start(resolvedProgram(updateProgram(development)), {QString::fromLatin1(kUpdateArgument)},
                          QIODevice::ReadWrite);
    return true;
}

void AutoUpdate::relaunch()
{
    QCoreApplication::quit();
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.isEmpty())
        return;
    QProcess::startDetached(arguments.first(), arguments);
}

void AutoUpdate::updateFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    // A crashed tool may leave any number as its code; it did not finish.
    if (exitCode == 0 && exitStatus == QProcess::NormalExit)
        emit updated();
    else
        emit cancelled();
}
