#include "instrumentsession.h"

#include "controller.h"
#include "ctloptions.h"
#include "portcheck.h"
#include "status.h"
#include "versioncomboboxmanagement.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLockFile>
#include <QTimer>

namespace nvxctl {

namespace {
constexpr int kReadLockWaitMs = 120000;  // other processes' reads, one after another
constexpr int kStaleLockMs = 150000;     // longer than any holder keeps it (a read gives up after 120 s)
constexpr int kUnnamedLockGraceMs = 5000; // a holder writes its name right after creating the file
constexpr int kLockPollMs = 1000;
const char kLockName[] = ".nvx7300ctl-read.lock";

// A lock file that names no holder (empty or corrupt, from a crash or a full
// disk) and is not being written just now: nobody holds it.
bool unnamedLeftover(const QLockFile &lock, const QString &path)
{
    const QFileInfo info(path);
    qint64 pid = 0;
    QString host, application;
    return info.exists() && !lock.getLockInfo(&pid, &host, &application)
        && qAbs(info.lastModified().msecsTo(QDateTime::currentDateTime())) > kUnnamedLockGraceMs;
}
} // namespace

PortProblem diagnosePort(const QString &port)
{
    const portcheck::Diagnosis diagnosis = portcheck::diagnose(port);
    switch (diagnosis.state) {
    case portcheck::PortState::Openable:
        return {kExitPortUnavailable, QStringLiteral("serial port %1 could not be opened by the engine").arg(port)};
    case portcheck::PortState::Missing:
        return {kExitNoInstrument, QStringLiteral("no instrument at %1").arg(port)};
    case portcheck::PortState::NotPermitted:
        return {kExitPortUnavailable,
                QStringLiteral("not permitted to open %1; %2").arg(port, portcheck::permissionAdvice())};
    case portcheck::PortState::Busy:
        return {kExitPortUnavailable, QStringLiteral("serial port %1 is busy (another program has it open)").arg(port)};
    case portcheck::PortState::Failed:
        break;
    }
    return {kExitPortUnavailable, QStringLiteral("cannot open %1: %2").arg(port, diagnosis.detail)};
}

int refusalExitStatus(workflow::RefusalReason reason)
{
    using workflow::RefusalReason;
    switch (reason) {
    case RefusalReason::FirmwareFile:
        return kExitFileUnreadable;
    case RefusalReason::None: // refused without a reason would be a fault: never a success
    case RefusalReason::JobFiles:
    case RefusalReason::NotRead:
    case RefusalReason::NotIdentified:
    case RefusalReason::ServiceBackup:
    case RefusalReason::MemoryImage:
    case RefusalReason::OtherInstrument:
    case RefusalReason::SameInstrumentUnreadable:
    case RefusalReason::LoaderUnknown:
    case RefusalReason::PatchMissing:
    case RefusalReason::Backup:
    case RefusalReason::Stopping:
        break;
    }
    return kExitFailed;
}

struct InstrumentSession::Impl
{
    Controller controller;
};

InstrumentSession::InstrumentSession() : d(new Impl) {}

// Destroying the controller waits for a job in progress.
InstrumentSession::~InstrumentSession()
{
    delete d;
}

ReadOutcome InstrumentSession::read(const QString &port, int timeoutMs)
{
    ReadOutcome outcome;
    const QString folder = VersionComboBoxManagement::firmwareDirectory();
    QDir().mkpath(folder);
    const QString lockPath = folder + QLatin1Char('/') + QLatin1String(kLockName);
    QLockFile lock(lockPath);
    // A crashed holder is found by its process id, a hung one by the age of its file.
    lock.setStaleLockTime(kStaleLockMs);
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (unnamedLeftover(lock, lockPath))
            lock.removeStaleLockFile();
        if (lock.tryLock(kLockPollMs))
            break;
        // Only a lock another process holds is worth waiting for: a folder
        // that cannot take the file will not take it later either.
        if (lock.error() != QLockFile::LockFailedError) {
            qWarning().noquote() << "Cannot create the read lock " + lockPath;
            outcome.version = QLatin1String(workflow::kVersionFilesUnusable);
            outcome.finding = workflow::Finding::FilesUnusable;
            return outcome;
        }
        if (waited.elapsed() >= kReadLockWaitMs) {
            outcome.timedOut = true;
            return outcome;
        }
    }

    QEventLoop loop;
    bool answered = false;
    auto versionConnection = QObject::connect(&d->controller, &Controller::controllerHandleVersionChanged, &loop,
                                              [&](const QString &version) {
                                                  outcome.version = version;
                                                  outcome.finding = d->controller.readFinding();
                                                  answered = true;
                                                  loop.quit();
                                              });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    d->controller.read(port);
    if (!answered)
        loop.exec();
    QObject::disconnect(versionConnection);
    outcome.timedOut = !answered;
    return outcome;
}

void InstrumentSession::restoreServiceBackup(const QByteArray &image)
{
    d->controller.restoreServiceBackup(image);
}

RunOutcome InstrumentSession::run(const QString &port, workflow::JobKind kind, const QString &firmware, int baud,
                                  int timeoutMs, const std::function<void(int, int)> &onTick)
{
    RunOutcome outcome;
    QEventLoop loop;
    auto recordConnection = QObject::connect(&d->controller, &Controller::updateRecorded, &loop,
                                             [&](const QJsonObject &record, const QString &error) {
                                                 outcome.record = record;
                                                 outcome.recordError = error;
                                             });
    auto connection = QObject::connect(&d->controller, &Controller::controllerHandleStatusChanged, &loop,
                                       [&](int status) {
                                           if (status == workflow::kStatusProgress) {
                                               ++outcome.ticks;
                                               if (onTick)
                                                   onTick(outcome.ticks, d->controller.progressTotal());
                                               return;
                                           }
                                           outcome.status = status;
                                           outcome.leftErased = d->controller.jobLeftErased();
                                           // A refusal's line is the last message before its end.
                                           if (d->controller.refusalReason() != workflow::RefusalReason::None)
                                               outcome.refusal = {d->controller.refusalReason(),
                                                                  d->controller.message()};
                                           loop.quit();
                                       });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    d->controller.startJob(port, kind, firmware, baud);
    loop.exec();
    QObject::disconnect(connection);
    QObject::disconnect(recordConnection);
    return outcome;
}

void InstrumentSession::setVerifyUpdates(bool on)
{
    d->controller.setVerifyUpdates(on);
}

VerifyOutcome InstrumentSession::verify(const QString &port, const QString &filename, int baud, int timeoutMs)
{
    VerifyOutcome outcome;
    QEventLoop loop;
    auto connection = QObject::connect(&d->controller, &Controller::verified, &loop, [&](int result, qint64 at) {
        outcome = {result, at};
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    d->controller.verify(port, filename, baud);
    loop.exec();
    QObject::disconnect(connection);
    return outcome;
}

} // namespace nvxctl
