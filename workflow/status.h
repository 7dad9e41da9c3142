#pragma once

#include "engineresult.h"

#include <QObject>
#include <QString>

// The words the workflow, the window and nvx7300ctl share: the statuses a job
// reports and the version texts a read ends with. Each is defined here once;
// the window reaches them through the Vocabulary object below.
namespace workflow {
Q_NAMESPACE

// Statuses the controller reports (controllerHandleStatusChanged): a job's
// progress and its end status. An end status above kStatusSuccess is the
// engine's result of a failed run (the engine's codes are in engineresult.h).
constexpr int kStatusRefused = 0; // the job refused to start: nothing that changes the instrument was sent
constexpr int kStatusPortFailed = bsl::kStatusPortFailed; // the serial port cannot be opened
constexpr int kStatusProgress = bsl::kStatusProgress;     // an erase cycle or a block written
// Firmware and information memory were verified in place; only the restart
// run after them failed.
constexpr int kStatusUpdatedNotRestarted = 3;
constexpr int kStatusSuccess = bsl::kResultSuccess;
constexpr int kStatusNotConnected = bsl::kResultNoSync; // nothing answered
// A read keeps one of these as the worker's status and never reports it:
// the window learns what a read found from the version text.
constexpr int kStatusReadDone = 200;
constexpr int kStatusNotIdentified = 255;

// Version texts. A read ends with "major.minor" or with one of these.
// The instrument answered but is not an NVX7300 this program can update.
constexpr char kVersionUnknown[] = "Unknown";
// An interrupted update left it without firmware; the next update restores
// its information memory (from the backup, or as it still is).
constexpr char kVersionRecovery[] = "Recovery";
// The same, but the latest backup failed its check and the one before it is used.
constexpr char kVersionRecoveryFromOlderBackup[] = "Recovery from older backup";
// It lost its information memory and its backup failed its check: nothing to restore.
constexpr char kVersionBackupDamaged[] = "Backup damaged";
// The read never reached the instrument:
constexpr char kVersionPortBusy[] = "Port busy";                   // another program has the port
constexpr char kVersionPortNotPermitted[] = "Port not permitted"; // this user may not open it
constexpr char kVersionNotConnected[] = "Not connected";          // no answer, or unplugged
// The read stopped on this computer: a file of the toolkit's own (the memory
// image, the password file) or a path cannot be used. Why is in the log file.
constexpr char kVersionFilesUnusable[] = "Files unusable";
// The window's own, never what a read ends with:
constexpr char kVersionNone[] = "";           // not read yet, or to be read again
constexpr char kVersionReading[] = "Reading"; // a read is on its way

// True for the version texts of an instrument that the next update restores.
bool needsRecovery(const QString &version);

// What a job does to the instrument. The window asks for the service erase
// with kEraseForm followed by the firmware path (Controller::start); inside
// the toolkit the kind travels as this type.
enum class JobKind { Update, Erase };
constexpr char kEraseForm[] = "Erase";

// A job as the window's form names it: a firmware path, or kEraseForm + path.
struct JobForm
{
    JobKind kind = JobKind::Update;
    QString firmware;

    static JobForm parse(const QString &filename);
};

// The window's text for the end status of an update or erase job.
QString endText(int status, JobKind kind);

// Why a job refused to start; nothing that changes the instrument was sent.
// The window and nvx7300ctl choose their words and exit statuses from it;
// the job's "Update refused: ..." line (kRefusalPrefix) says the rest.
enum class RefusalReason {
    None,                     // not refused
    FirmwareFile,             // the firmware file cannot be read, or fails its check
    JobFiles,                 // the job's private copies cannot be made on this computer
    NotRead,                  // an erase: no read has reached the instrument on its port
    NotIdentified,            // an update: no read has identified the instrument on its port
    ServiceBackup,            // the service backup given for it was not taken
    MemoryImage,              // no complete information memory with the marker to restore
    OtherInstrument,          // the instrument on the port is not the one that was read
    SameInstrumentUnreadable, // it could not be read again just before the erase
    LoaderUnknown,            // the version of its bootstrap loader could not be read
    PatchMissing,             // its loader needs the flash patch, which is missing or unreadable
    Backup,                   // no durable backup of its information memory can be made
    Stopping,                 // the program is stopping
};
Q_ENUM_NS(RefusalReason)

// A check's answer: a reason and the line that says why; no reason, no refusal.
struct Refusal
{
    RefusalReason reason = RefusalReason::None;
    QString why;

    explicit operator bool() const { return reason != RefusalReason::None; }
};

// How an update or erase job ended: its end status, and what it left.
struct JobEnd
{
    int status = kStatusRefused;
    JobKind kind = JobKind::Update;
    // It stopped after its erase began: whatever it held is gone until the
    // next update restores it ("NVX7300 must be updated again").
    bool leftErased = false;
    RefusalReason refusal = RefusalReason::None; // with kStatusRefused
};

// endText, but a job that left the instrument erased says so.
QString endText(const JobEnd &end);

// The line of a job that refused to start begins so; one refused for its
// firmware file goes on so, as nvx7300ctl's own check of the file says too.
constexpr char kRefusalPrefix[] = "Update refused: ";
constexpr char kFirmwareCheckFailed[] = "firmware file check failed";

} // namespace workflow

Q_DECLARE_METATYPE(workflow::JobEnd)
Q_DECLARE_METATYPE(workflow::JobKind)

// The statuses and version texts above for the window's scripts: start-up
// registers one as the singleton "Vocabulary" beside the Controller type.
class Vocabulary : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int statusRefused MEMBER m_statusRefused CONSTANT)
    Q_PROPERTY(int statusPortFailed MEMBER m_statusPortFailed CONSTANT)
    Q_PROPERTY(int statusProgress MEMBER m_statusProgress CONSTANT)
    Q_PROPERTY(int statusUpdatedNotRestarted MEMBER m_statusUpdatedNotRestarted CONSTANT)
    Q_PROPERTY(int statusSuccess MEMBER m_statusSuccess CONSTANT)
    Q_PROPERTY(int statusNotConnected MEMBER m_statusNotConnected CONSTANT)
    Q_PROPERTY(QString versionUnknown MEMBER m_versionUnknown CONSTANT)
    Q_PROPERTY(QString versionRecovery MEMBER m_versionRecovery CONSTANT)
    Q_PROPERTY(QString versionRecoveryFromOlderBackup MEMBER m_versionRecoveryFromOlderBackup CONSTANT)
    Q_PROPERTY(QString versionBackupDamaged MEMBER m_versionBackupDamaged CONSTANT)
    Q_PROPERTY(QString versionPortBusy MEMBER m_versionPortBusy CONSTANT)
    Q_PROPERTY(QString versionPortNotPermitted MEMBER m_versionPortNotPermitted CONSTANT)
    Q_PROPERTY(QString versionNotConnected MEMBER m_versionNotConnected CONSTANT)
    Q_PROPERTY(QString versionFilesUnusable MEMBER m_versionFilesUnusable CONSTANT)
    Q_PROPERTY(QString versionNone MEMBER m_versionNone CONSTANT)
    Q_PROPERTY(QString versionReading MEMBER m_versionReading CONSTANT)

public:
    explicit Vocabulary(QObject *parent = nullptr) : QObject(parent) {}

private:
    const int m_statusRefused = workflow::kStatusRefused;
    const int m_statusPortFailed = workflow::kStatusPortFailed;
    const int m_statusProgress = workflow::kStatusProgress;
    const int m_statusUpdatedNotRestarted = workflow::kStatusUpdatedNotRestarted;
    const int m_statusSuccess = workflow::kStatusSuccess;
    const int m_statusNotConnected = workflow::kStatusNotConnected;
    const QString m_versionUnknown = QLatin1String(workflow::kVersionUnknown);
    const QString m_versionRecovery = QLatin1String(workflow::kVersionRecovery);
    const QString m_versionRecoveryFromOlderBackup = QLatin1String(workflow::kVersionRecoveryFromOlderBackup);
    const QString m_versionBackupDamaged = QLatin1String(workflow::kVersionBackupDamaged);
    const QString m_versionPortBusy = QLatin1String(workflow::kVersionPortBusy);
    const QString m_versionPortNotPermitted = QLatin1String(workflow::kVersionPortNotPermitted);
    const QString m_versionNotConnected = QLatin1String(workflow::kVersionNotConnected);
    const QString m_versionFilesUnusable = QLatin1String(workflow::kVersionFilesUnusable);
    const QString m_versionNone = QLatin1String(workflow::kVersionNone);
    const QString m_versionReading = QLatin1String(workflow::kVersionReading);
};
