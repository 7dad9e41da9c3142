#include "controller.h"

#include "worker.h"

Controller::Controller(QObject *parent)
    : QObject(parent)
{
    auto *worker = new Worker;
    worker->moveToThread(&m_workerThread);
    connect(&m_workerThread, &QThread::finished, worker, &QObject::deleteLater);
    connect(this, &Controller::operate, worker, &Worker::doWork);
    connect(this, &Controller::operateRead, worker, &Worker::doWorkRead);
    connect(worker, &Worker::workerHandleStatusChanged, this, &Controller::controllerStatusChanged);
    connect(worker, &Worker::workerHandleMessageChanged, this, &Controller::controllerMessageChanged);
    connect(worker, &Worker::workerHandleVersionChanged, this, &Controller::controllerVersionChanged);
    m_workerThread.start();
}

Controller::~Controller()
{
    // A job in progress finishes first: an interrupted run could leave the
    // instrument erased.
    m_workerThread.quit();
    m_workerThread.wait();
}

void Controller::start(const QString &comPort, const QString &filename)
{
    emit operate(comPort, filename);
}

void Controller::read(const QString &comPort)
{
    emit operateRead(comPort);
}

void Controller::controllerStatusChanged(int status)
{
    m_status = status;
    emit controllerHandleStatusChanged(status);
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
