#pragma once

#include <QJsonArray>
#include <QString>
#include <QStringList>

namespace nvxctl {

struct FleetMember
{
    QString serialNumber; // "-" when only the port is known
    QString port;
};

struct FleetOptions
{
    bool verbose = false;
    bool refuseDowngrade = false; // a member running a newer version is left alone
    int baud = 0;                 // passed on as --baud when set
    bool verify = false;          // passed on as --verify
    bool json = false;            // standard output keeps the JSON array; the rest goes to standard error
    QStringList virtualBridges;   // this process's virtual instruments, listed by the children too
};

// Updates every member at once, each in a child process of this program
// ("update --port P --file FILE"), shows one line per member while they run
// and a summary table at the end. Fills outcomes with one object per member
// (serialNumber, port, versionBefore, versionAfter, result, exitStatus,
// seconds, ...). Returns the exit status of the whole run.
int updateFleet(const QList<FleetMember> &members, const QString &firmwareFile, const QString &description,
                const FleetOptions &options, QJsonArray *outcomes);


} // namespace nvxctl
