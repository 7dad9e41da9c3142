#pragma once

#include "identification.h"
#include "status.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>

namespace nvxctl {

// Why a serial port could not be opened, as an exit status and one line.
struct PortProblem
{
    int exitStatus;
    QString reason;
};
PortProblem diagnosePort(const QString &port);

// The exit status of a job that refused to start for this reason.
int refusalExitStatus(workflow::RefusalReason reason);

struct ReadOutcome
{
    QString version; // "major.minor", or one of the version texts of status.h ("Unknown", "Port busy", ...)
    workflow::Finding finding = workflow::Finding::NotConnected; // what the version text says
    bool timedOut = false;
};

struct RunOutcome
{
    int status = -1;  // the controller's end status; -1 when it never came
    bool leftErased = false; // the job stopped after its erase began
    int ticks = 0;    // progress ticks seen
    workflow::Refusal refusal; // why the job refused to start, and its "Update refused: ..." line
    QJsonObject record;  // the job's line in the update record (updaterecord.h)
    QString recordError; // why that line could not be written; empty when it was
};

struct VerifyOutcome
{
    int result = -1;            // the engine's: 100 identical, 198 different; 0 not opened; -1 no answer
    qint64 firstDifference = -1; // the first address where the instrument differs from the file
};

// Drives one Controller (and so one worker thread, one engine run at a time).
class InstrumentSession
{
public:
    InstrumentSession();
    ~InstrumentSession();
    InstrumentSession(const InstrumentSession &) = delete;
    InstrumentSession &operator=(const InstrumentSession &) = delete;

    // Every read writes the instrument's information memory through one file
    // in the shared firmware folder, so reads by several processes at once are
    // serialised with a lock file there. A lock left by a process that died,
    // or one that names no holder at all, does not hold anyone up.
    ReadOutcome read(const QString &port, int timeoutMs);
    // The information memory the next run restores, for an instrument the
    // read found erased (Controller::restoreServiceBackup).
    void restoreServiceBackup(const QByteArray &image);
    // An update or erase job programming firmware at baud where the
    // instrument takes it. onTick gets the ticks so far and the job's total
    // (0 while not known).
    RunOutcome run(const QString &port, workflow::JobKind kind, const QString &firmware, int baud, int timeoutMs,
                   const std::function<void(int ticks, int total)> &onTick);
    // Updates run after it read back what they programmed.
    void setVerifyUpdates(bool on);
    // Compares the instrument's memory with the firmware file, after a read.
    VerifyOutcome verify(const QString &port, const QString &filename, int baud, int timeoutMs);

private:
    struct Impl;
    Impl *d;
};

} // namespace nvxctl
