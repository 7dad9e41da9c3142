#pragma once

#include "identification.h"
#include "status.h"

#include <QJsonObject>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QThread>

class Worker;

// The window's handle on the instrument. Owns a worker thread; jobs go there
// and their status, messages and version come back, all as queued signals.
class Controller : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString message READ message WRITE setMessage NOTIFY controllerHandleMessageChanged)
    Q_PROPERTY(int status READ status WRITE setStatus NOTIFY controllerHandleStatusChanged)
    Q_PROPERTY(QString version READ version WRITE setVersion NOTIFY controllerHandleVersionChanged)
    // True while the version text says that an interrupted update left the
    // instrument erased and the next update will restore it.
    Q_PROPERTY(bool needsRecovery READ needsRecovery NOTIFY controllerHandleVersionChanged)
    // The port whose read gave the version the worker last reported (the
    // window's own writes to `version` leave it alone); empty before any.
    Q_PROPERTY(QString readPort READ readPort NOTIFY controllerHandleVersionChanged)
    // True from a call to start() or read() until every job asked for has ended.
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    // True from the first erase of a job until it has written and verified
    // the firmware and the information memory: stopping then would leave the
    // instrument erased, so closing waits for the job.
    Q_PROPERTY(bool uninterruptible READ uninterruptible NOTIFY uninterruptibleChanged)
    // What the job that reports its end status now left: valid while that
    // status is handled (controllerHandleStatusChanged), false otherwise.
    Q_PROPERTY(bool jobLeftErased READ jobLeftErased NOTIFY jobEndChanged)
    Q_PROPERTY(bool jobWasErase READ jobWasErase NOTIFY jobEndChanged)
    // Why that job refused to start (with kStatusRefused); None otherwise.
    Q_PROPERTY(workflow::RefusalReason refusalReason READ refusalReason NOTIFY jobEndChanged)
    // The progress ticks the running update or erase will report in all;
    // set before its first tick, 0 from a call to start() until then.
    Q_PROPERTY(int progressTotal READ progressTotal WRITE setProgressTotal NOTIFY progressTotalChanged)

public:
    explicit Controller(QObject *parent = nullptr);
    ~Controller() override;

    QString message() const { return m_message; }
    int status() const { return m_status; }
    QString version() const { return m_version; }
    void setMessage(const QString &message) { controllerMessageChanged(message); }
    void setStatus(int status) { controllerStatusChanged(status); }
    void setVersion(const QString &version) { controllerVersionChanged(version); }
    bool needsRecovery() const;
    QString readPort() const { return m_readPort; }
    // What the read that gave that version found; the version text is its view.
    workflow::Finding readFinding() const { return m_readFinding; }
    bool busy() const { return !m_jobs.isEmpty(); }
    bool uninterruptible() const { return m_uninterruptible; }
    bool jobLeftErased() const { return m_jobEnd.leftErased; }
    bool jobWasErase() const { return m_jobEnd.kind == workflow::JobKind::Erase; }
    workflow::RefusalReason refusalReason() const { return m_jobEnd.refusal; }
    int progressTotal() const { return m_progressTotal; }
    void setProgressTotal(int ticks);

    // True when the instrument last read runs the version of this firmware
    // file, or a newer one: nothing newer to offer.
    Q_INVOKABLE bool runsAtLeast(const QString &firmwarePath) const;

    // The serial number of the bridge that discovery lists on comPort, which
    // may also be an alias of its port; empty when none does. GUI thread
    // only, like discovery.
    static QString bridgeSerialNumber(const QString &comPort);

public slots:
    // filename in the window's form: the firmware path, or kEraseForm + path.
    void start(const QString &comPort, const QString &filename);
    // An update or erase job with the firmware programmed at baud (19200 or
    // 38400 where the loader and the line take it); the window keeps 9600.
    void startJob(const QString &comPort, workflow::JobKind kind, const QString &firmware, int baud);
    void read(const QString &comPort);
    // Compares the instrument's memory with a firmware file (see
    // Worker::doWorkVerify); the answer comes as verified().
    void verify(const QString &comPort, const QString &filename, int baud);
    // Updates started from now on read back what they programmed.
    void setVerifyUpdates(bool on) { emit verifyUpdatesSet(on); }
    void controllerStatusChanged(int status);
    void controllerMessageChanged(const QString &message);
    void controllerVersionChanged(const QString &version);
    // The end of an update or erase job, just before its end status.
    void controllerJobEnded(const workflow::JobEnd &end);
    // For the next update after a read that found the instrument erased: a
    // service technician's backup of its information memory (the 256 bytes).
    void restoreServiceBackup(const QByteArray &image);

signals:
    // Every job started, in the window's form; the worker takes operateJob.
    void operate(const QString &comPort, const QString &filename);
    void operateRead(const QString &comPort);
    void operateJob(const QString &comPort, workflow::JobKind kind, const QString &firmware, int baud);
    void operateVerify(const QString &comPort, const QString &filename, int baud);
    void verifyUpdatesSet(bool on);
    void verified(int result, qint64 firstDifference);
    void bridgeSerialResolved(const QString &comPort, const QString &serialNumber);
    void controllerHandleStatusChanged(int status);
    void controllerHandleMessageChanged(QString message);
    void controllerHandleVersionChanged(QString version);
    void busyChanged(bool busy);
    void uninterruptibleChanged(bool uninterruptible);
    void jobEndChanged(workflow::JobEnd end);
    void serviceBackupGiven(const QByteArray &image);
    void progressTotalChanged(int ticks);
    // The update record's line for the job that is about to end (before its
    // end status), and why it could not be written (empty when it was).
    void updateRecorded(QJsonObject record, QString recordError);

private:
    struct Job
    {
        bool read;
        QString comPort;
    };

    // The device behind comPort, with the worker told which bridge it is.
    QString resolvePort(const QString &comPort);
    void queueJob(const Job &job);
    void jobEnded();
    void workerVersionReported(const QString &version);

    QThread m_workerThread;
    Worker *m_worker = nullptr;
    QQueue<Job> m_jobs; // asked for and not yet ended, oldest first
    QString m_readPort;
    workflow::Finding m_readFinding = workflow::Finding::NotConnected;
    QString m_message;
    int m_status = 0;
    QString m_version = QStringLiteral("");
    bool m_uninterruptible = false;
    workflow::JobEnd m_jobEnd;
    int m_progressTotal = 0;
};
