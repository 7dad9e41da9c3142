#include "datahome.h"

#include <QCoreApplication>
#include <QFile>

namespace nvxtest {

void useProgramName()
{
    QCoreApplication::setOrganizationName(QStringLiteral("ostrel"));
    QCoreApplication::setApplicationName(QStringLiteral("NVX7300 Toolkit"));
}

void useDataHome(const QString &path)
{
    useProgramName();
    qputenv("XDG_DATA_HOME", QFile::encodeName(path));
}

QString programFolderIn(const QString &dataHome)
{
    return dataHome + QStringLiteral("/ostrel/NVX7300 Toolkit");
}

} // namespace nvxtest
