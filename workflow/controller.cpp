#include "controller.h"

#include "status.h"
#include "usbdevicelist.h"
#include "versionnumber.h"
#include "worker.h"

Controller::Controller(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<workflow::JobEnd>();
    qRegisterMetaType<workflow::JobKind>();
    qRegisterMetaType<workflow::Finding>();
    auto *worker = new Worker;
    m_worker = worker;
    worker->moveToThread(&m_workerThread);
    connect(&m_workerThread, &QThread::finished, worker, &QObject::deleteLater);
    connect(this, &Controller::operateJob, worker, &Worker::doJob);
    connect(this, &Controller::operateRead, worker, &Worker::doWorkRead);
    connect(this, &Controller::bridgeSerialResolved, worker, &Worker::setBridgeSerial);
    connect(this, &Controller::operateVerify, worker, &Worker::doWorkVerify);
    connect(this, &Controller::verifyUpdatesSet, worker, &Worker::setVerifyUpdates);
    connect(worker, &Worker::workerVerified, this, &Controller::verified);
    connect(worker, &Worker::workerHandleStatusChanged, this, &Controller::controllerStatusChanged);
    connect(worker, &Worker::workerHandleMessageChanged, this, &Controller::controllerMessageChanged);
    connect(worker, &Worker::workerReadFound, this, [this](workflow::Finding finding) { m_readFinding = finding; });
    connect(worker, &Worker::workerHandleVersionChanged, this, &Controller::workerVersionReported);
    connect(worker, &Worker::workerUpdateRecorded, this, &Controller::updateRecorded);
    connect(worker, &Worker::workerJobEnded, this, &Controller::controllerJobEnded);
    connect(this, &Controller::serviceBackupGiven, worker, &Worker::useServiceBackup);
    connect(worker, &Worker::workerUninterruptibleChanged, this, [this](bool uninterruptible) {
        m_uninterruptible = uninterruptible;
        emit uninterruptibleChanged(uninterruptible);
    });
    connect(worker, &Worker::workerProgressTotal, this, &Controller::setProgressTotal);
    m_workerThread.start();
}

Controller::~Controller()
{
    // A job in progress finishes first: an interrupted run could leave the
    // instrument erased.
    m_workerThread.quit();
    m_workerThread.wait();
}

bool Controller::needsRecovery() const
{
    return workflow::needsRecovery(m_version);
}

QString Controller::bridgeSerialNumber(const QString &comPort)
{
    const QString port = USBDeviceList::realPortName(comPort);
    if (port.isEmpty())
        return QString();
    USBDeviceList devices;
    for (const USBDevice &device : devices.load()) {
        if (USBDeviceList::realPortName(device.portName()) == port)
            return device.serialNumber();
    }
    return QString();
}

// Both jobs learn first which device the port name stands for and which
// bridge that is: the read to name the backup, the update to notice a
// different instrument on the same port. From then on the job uses the
// device's own name, whatever alias it was given by.
QString Controller::resolvePort(const QString &comPort)
{
    const QString port = USBDeviceList::realPortName(comPort);
    emit bridgeSerialResolved(port, bridgeSerialNumber(port));
    return port;
}

void Controller::setProgressTotal(int ticks)
{
    if (ticks == m_progressTotal)
        return;
    m_progressTotal = ticks;
    emit progressTotalChanged(ticks);
}

bool Controller::runsAtLeast(const QString &firmwarePath) const
{
    const VersionNumber running = VersionNumber::parse(m_version);
    const VersionNumber offered = VersionNumber::parse(Worker::firmwareVersion(firmwarePath));
    return running.isValid() && offered.isValid() && running.compareRelease(offered) >= 0;
}

// The job's kind is decided here, once, from the window's form.
void Controller::start(const QString &comPort, const QString &filename)
{
    const workflow::JobForm job = workflow::JobForm::parse(filename);
    startJob(comPort, job.kind, job.firmware, Worker::kDefaultBaudRate);
}

void Controller::startJob(const QString &comPort, workflow::JobKind kind, const QString &firmware, int baud)
{
    setProgressTotal(0);
    const QString port = resolvePort(comPort);
    emit operate(port, kind == workflow::JobKind::Erase ? QLatin1String(workflow::kEraseForm) + firmware : firmware);
    emit operateJob(port, kind, firmware, baud);
    queueJob(Job{false, comPort});
}

void Controller::verify(const QString &comPort, const QString &filename, int baud)
{
    emit operateVerify(resolvePort(comPort), filename, baud);
    queueJob(Job{false, comPort});
}

void Controller::read(const QString &comPort)
{
    emit operateRead(resolvePort(comPort));
    // Named as the caller named it: the window compares it with its selection.
    queueJob(Job{true, comPort});
}

// Jobs run one after another in the worker's event loop, so a call queued
// there behind a job runs when that job has ended; it hands the news back.
void Controller::queueJob(const Job &job)
{
    m_jobs.enqueue(job);
    QMetaObject::invokeMethod(
        m_worker, [this] { QMetaObject::invokeMethod(this, &Controller::jobEnded, Qt::QueuedConnection); },
        Qt::QueuedConnection);
    if (m_jobs.size() == 1)
        emit busyChanged(true);
}

void Controller::jobEnded()
{
    if (m_jobs.isEmpty())
        return;
    m_jobs.dequeue();
    if (m_jobs.isEmpty())
        emit busyChanged(false);
}

// A read reports its version before it ends, so the oldest job still
// queued is the read that answers.
void Controller::workerVersionReported(const QString &version)
{
    if (!m_jobs.isEmpty() && m_jobs.head().read)
        m_readPort = m_jobs.head().comPort;
    controllerVersionChanged(version);
}

void Controller::controllerStatusChanged(int status)
{
    m_status = status;
    emit controllerHandleStatusChanged(status);
    // The job's end belongs to its end status alone.
    if (status != workflow::kStatusProgress
        && (m_jobEnd.leftErased || m_jobEnd.kind != workflow::JobKind::Update
            || m_jobEnd.refusal != workflow::RefusalReason::None)) {
        m_jobEnd = workflow::JobEnd();
        emit jobEndChanged(m_jobEnd);
    }
}

void Controller::controllerJobEnded(const workflow::JobEnd &end)
{
    m_jobEnd = end;
    emit jobEndChanged(end);
}

void Controller::restoreServiceBackup(const QByteArray &image)
{
    emit serviceBackupGiven(image);
}

void Controller::controllerMessageChanged(const QString &message)
{
    if (message == m_message)
        return;
    m_message = message;
    emit controllerHandleMessageChanged(message);
}

void Controller::controllerVersionChanged(const QString &version)
{
    m_version = version;
    emit controllerHandleVersionChanged(version);
}
