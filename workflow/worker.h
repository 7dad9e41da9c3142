#pragma once

#include "identification.h"
#include "status.h"
#include "updaterecord.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <memory>

class BackEnd;
class QTemporaryDir;
class QTemporaryFile;

// Runs the instrument jobs on the controller's worker thread: version reads
// that find the password that opens the instrument and save its information
// memory, and reprogramming (or mass-erase) runs that restore it.
//
// An update erases the instrument, so it starts only after the firmware file,
// the image to restore and the instrument's identity have been checked and a
// backup of that image is safely on the disk, named after the bridge's serial
// number. An instrument left erased by an interrupted update is found again by
// the standard password and reported with the version text kVersionRecovery;
// the next update restores it from the backup, or from its own information
// memory when that survived.
//
// The version text is a read's outcome: "major.minor" for an identified
// instrument, otherwise one of the texts in status.h. What a read makes of
// what it found is decided in identification.h; this class gathers the facts
// and runs the jobs.
class Worker : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int status READ status WRITE setStatus NOTIFY workerHandleStatusChanged)
    Q_PROPERTY(QString message READ message WRITE setMessage NOTIFY workerHandleMessageChanged)
    Q_PROPERTY(QString version READ version WRITE setVersion NOTIFY workerHandleVersionChanged)

public:
    // Size of the caller-owned TI-TXT buffer the back end fills (799 characters and a NUL).
    static constexpr int kMemoryImageSize = 800;

    // The line rate every job runs at unless asked for another (the window's).
    static constexpr int kDefaultBaudRate = bsl::kStartBaudRate;

    explicit Worker(QObject *parent = nullptr);
    ~Worker() override;

    int status() const;
    QString message() const;
    QString version() const;
    void setStatus(int status);
    void setMessage(const QString &message);
    void setVersion(const QString &version);

    static QString passwordFilePath();
    static QString memoryImageFilePath();
    // The flash patch that loaders up to 1.10 need; none ships with the program.
    static QString patchFilePath();
    // Where the information memory of the instrument behind this bridge is kept.
    static QString backupFilePath(const QString &bridgeSerialNumber);
    // The version the instrument reports once this firmware file runs
    // ("731-001-208-...": "1.208"); empty when the name does not say.
    static QString firmwareVersion(const QString &firmwarePath);

signals:
    void workerHandleStatusChanged(int status);
    void workerHandleMessageChanged(QString message);
    void workerHandleVersionChanged(QString version);
    // What a read found, emitted just before its version text.
    void workerReadFound(workflow::Finding finding);
    // Every update and erase job on an instrument leaves a line in the update
    // record (updaterecord.h); this is that line, emitted before the job's end
    // status, with why it could not be written (empty when it was).
    void workerUpdateRecorded(QJsonObject record, QString recordError);
    // How an update or erase job ended, emitted just before its end status.
    void workerJobEnded(workflow::JobEnd end);
    // True from the first erase until the job has written and verified what
    // it restores (jobguard.h): the job must not be cut short then.
    void workerUninterruptibleChanged(bool uninterruptible);
    // The number of progress ticks the reprogramming run that follows will
    // report (erase cycles and blocks written), emitted before the first.
    void workerProgressTotal(int ticks);
    // A verify job's end: the engine's result (100 identical, 198 different,
    // 0 when no read has opened the instrument) and the first address where
    // the instrument differs from the file, -1 when none was found.
    void workerVerified(int result, qint64 firstDifference);

public slots:
    // filename in the window's form: the firmware path, or kEraseForm + path.
    void doWork(const QString &comPort, const QString &filename);
    // An update or erase job programming the firmware file at baud (19200 or
    // 38400 where the loader and the line take it, otherwise 9600).
    void doJob(const QString &comPort, workflow::JobKind kind, const QString &firmware, int baud);
    void doWorkRead(const QString &comPort);
    void workerStatusChanged(int status);
    void workerMessageChanged(const QString &message);
    void workerVersionChanged(const QString &version);
    // The serial number of the bridge on comPort, as discovery reports it on
    // the GUI thread; empty when unknown. Applies to the jobs queued after it.
    void setBridgeSerial(const QString &comPort, const QString &serialNumber);
    // A service technician's backup (the 256 bytes) for the instrument the
    // last read found erased: the next update restores it as its information
    // memory. Taken only when it has the marker and fits what the instrument
    // still holds; otherwise that update is refused with the reason.
    void useServiceBackup(const QByteArray &image);
    // Updates queued after it read back what they programmed; a difference
    // fails the programming, which runs once more.
    void setVerifyUpdates(bool on) { m_verifyUpdates = on; }
    // Is the instrument on comPort running exactly this firmware? Compares
    // its memory with the file, opened with the password the last read found;
    // changes nothing.
    void doWorkVerify(const QString &comPort, const QString &filename, int baud);

private:
    // Result of the last read; a reprogramming job depends on it and it is
    // replaced only by the next read.
    struct LastRead
    {
        workflow::Identification id; // what the read made of what it found
        int passwordIndex = 0;
        bool opened = false;  // a password opened the instrument
        char memoryImage[kMemoryImageSize] = {};
        QString passwordFile;  // what opened the instrument: the password file or the standard password
        QString port;
        QString bridgeSerial;
        QByteArray image;      // the 256 bytes read
        QByteArray restoreImage; // what the update writes back: the image, or the backup in a recovery
    };

    QString bridgeSerialFor(const QString &comPort) const;
    QString standardPasswordFile();
    QString jobFolder();
    // Copies what the engine reads after the erase into the job's own folder
    // and checks the firmware there; no refusal means all went well.
    workflow::Refusal takeSnapshot(BackEnd &backEnd);
    // The checks before the erase; no refusal means all passed.
    workflow::Refusal refusalBeforeErase(BackEnd &backEnd, const QString &comPort);
    workflow::Refusal sameInstrumentRefusal(BackEnd &backEnd, const QString &comPort);
    workflow::Refusal backupRefusal(const QString &comPort);
    void refuse(const workflow::Refusal &refusal);
    int update(BackEnd &backEnd, const QString &comPort);
    int erase(BackEnd &backEnd, const QString &comPort);
    int restartAfterUpdate(BackEnd &backEnd, const QString &comPort);
    int program(BackEnd &backEnd, const QString &comPort, char *restore, const QString &filename);
    // Enters the phase that must not be cut short and writes the job's
    // started line; false when the process is stopping.
    bool beginErasing(const QString &comPort);
    UpdateRecord jobRecord(const QString &comPort) const;
    void recordJob(const QString &comPort, const workflow::JobEnd &end, double seconds);
    // Completes the record of this instrument's jobs that were cut off with
    // what this read found.
    void completeInterruptedJobs(const workflow::Identification &id);
    // Counts the ticks of a run that writes restoreText (may be null) and the
    // firmware file, and says how many in all, with done ticks already reported.
    void announceProgressTotal(const char *restoreText, const QString &firmware, int loaderVersion,
                               const QString &patchFile, int done = 0);

    // What the job in progress has done so far, for its record.
    struct JobReport
    {
        workflow::JobKind kind = workflow::JobKind::Update;
        QString firmware;     // the file it programs, as it was asked for
        QString versionBefore;
        workflow::Refusal refusal; // why it refused to start, and its "Update refused: ..." line
        int progressTicks = 0; // none: nothing was erased
        int programmedAt = kDefaultBaudRate;
        bool backupWritten = false; // the programming run wrote the backup's image back
        bool verified = false;      // the programming was read back and found right
        QString id;               // shared by its lines in the update record
        bool started = false;     // its started line went out: it entered the phase that erases
        bool uninterruptible = false;
    };

    // What the engine reads after the erase, as checked before it; only the
    // job's own folder holds it.
    struct JobSnapshot
    {
        QString firmware;         // the firmware file's copy
        QString firmwareSha256;
        QString restartPasswords; // the password record of the new firmware's vectors
    };

    QString m_message;
    int m_status = 0;
    QString m_version = QStringLiteral("");
    int m_readJob = 0;  // 1 from a read until the next reprogramming job: silences setStatus/setMessage
    int m_readBusy = 0; // 1 while a read runs
    LastRead m_last;
    JobReport m_job;
    JobSnapshot m_snapshot;
    QString m_serviceBackupRefusal; // why the service backup given for the last read was not taken
    QString m_serialPort;
    QString m_serialNumber;
    bool m_verifyUpdates = false;
    std::unique_ptr<QTemporaryFile> m_standardPassword;
    std::unique_ptr<QTemporaryDir> m_jobImageFolder;
};
