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
    bool keepCurrent = false;     // a member running the chosen version is up to date, left as it is
    bool catalogueUnchecked = false; // the version was chosen without the catalogue's word
    int baud = 0;                 // passed on as --baud when set
    bool verify = false;          // passed on as --verify
    bool json = false;            // standard output keeps the JSON document; the rest goes to standard error
    QStringList virtualBridges;   // this process's virtual instruments, listed by the children too
};

// Updates every member at once, each in a child process of this program
// ("update --port P --file FILE"), shows one line per member while they run
// and a summary table at the end. Fills outcomes with one object per member:
// the child's own report (update's fields, see jsondocument.h) with its exit
// status and error. Returns the exit status of the whole run: up to date
// counts as done, unless the catalogue could not say what is newest.
int updateFleet(const QList<FleetMember> &members, const QString &firmwareFile, const QString &description,
                const FleetOptions &options, QJsonArray *outcomes);


} // namespace nvxctl
