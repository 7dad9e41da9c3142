#pragma once

#include <QString>
#include <QStringList>

namespace nvxctl {

struct FleetMember
{
    QString serialNumber; // "-" when only the port is known
    QString port;
};

// Updates every member at once, each in a child process of this program
// ("update --port P --file FILE"), shows one line per member while they run
// and a summary table at the end. With refuseDowngrade a member running a
// newer version is left alone. Returns the exit status of the whole run.
int updateFleet(const QList<FleetMember> &members, const QString &firmwareFile, const QString &description,
                bool verbose, bool refuseDowngrade);


} // namespace nvxctl
