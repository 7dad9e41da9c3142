#include "paths.h"

#include "firmwarestore.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace workflow::paths {

namespace {

// A folder that settle() has made absolute.
QString settled(const QString &folder)
{
    Q_ASSERT_X(folder.isEmpty() || QDir::isAbsolutePath(folder), "workflow::paths", "asked before settle()");
    return folder;
}

} // namespace

QString settle()
{
#ifndef Q_OS_WIN
    for (const char *variable : {"HOME", "TMPDIR"}) {
        const QString folder = qEnvironmentVariable(variable);
        if (!folder.isEmpty() && QDir::isRelativePath(folder))
            qputenv(variable, QFile::encodeName(QDir(folder).absolutePath()));
    }
#endif
    return FirmwareStore::settleDataLocation();
}

QString inDataFolder(const QString &relative)
{
    return settled(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)) + QLatin1Char('/') + relative;
}

QString temporaryFolder()
{
    return settled(QDir::tempPath());
}

} // namespace workflow::paths
