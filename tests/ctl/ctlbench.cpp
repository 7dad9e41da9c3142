// nvx7300ctl as its tests run it: the whole program, with the bridges that
// NVX_BENCH_BRIDGES names ("SERIAL=PORT,SERIAL=PORT") listed by discovery
// besides the system's, the way real bridges with serial numbers are. The
// children that update --all starts inherit the variable, so they see them too.
// NVX_BENCH_CATALOGUE_KEY names the key its catalogues are signed with.

#include "cataloguetrust.h"
#include "ctlprogram.h"
#include "devicesources.h"

#include <QString>
#include <QStringList>

int main(int argc, char **argv)
{
    const QStringList bridges = qEnvironmentVariable("NVX_BENCH_BRIDGES").split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &bridge : bridges) {
        const int equals = bridge.indexOf(QLatin1Char('='));
        if (equals > 0)
            discovery::addExtraDevice(bridge.left(equals), QStringLiteral("NVX7300"), bridge.mid(equals + 1));
    }
    if (qEnvironmentVariableIsSet("NVX_BENCH_CATALOGUE_KEY"))
        catalogue::setBuiltInPublicKey(catalogue::publicKeyFromText(qEnvironmentVariable("NVX_BENCH_CATALOGUE_KEY")));
    return nvxctl::runProgram(argc, argv);
}
