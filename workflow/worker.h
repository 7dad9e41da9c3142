#pragma once

#include <QObject>
#include <QString>

// Runs the instrument jobs on the controller's worker thread: version reads
// that find the password that opens the instrument and save its information
// memory, and reprogramming (or mass-erase) runs that restore it.
class Worker : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int status READ status WRITE setStatus NOTIFY workerHandleStatusChanged)
    Q_PROPERTY(QString message READ message WRITE setMessage NOTIFY workerHandleMessageChanged)
    Q_PROPERTY(QString version READ version WRITE setVersion NOTIFY workerHandleVersionChanged)

public:
    // Size of the caller-owned TI-TXT buffer the back end fills (799 characters and a NUL).
    static constexpr int kMemoryImageSize = 800;

    explicit Worker(QObject *parent = nullptr);

    int status() const;
    QString message() const;
    QString version() const;
    void setStatus(int status);
    void setMessage(const QString &message);
    void setVersion(const QString &version);
    QString getversion() const;

    static QString passwordFilePath();
    static QString memoryImageFilePath();

signals:
    void workerHandleStatusChanged(int status);
    void workerHandleMessageChanged(QString message);
    void workerHandleVersionChanged(QString version);

public slots:
    void doWork(const QString &comPort, const QString &filename);
    void doWorkRead(const QString &comPort);
    void workerStatusChanged(int status);
    void workerMessageChanged(const QString &message);
    void workerVersionChanged(const QString &version);

private:
    // Result of the last read; a reprogramming job depends on it and it is
    // replaced only by the next read.
    struct LastRead
    {
        int major = 0;
        int minor = 0;
        int passwordIndex = 0;
        // True only when the latest read produced, for the instrument it
        // identified, an image long enough to hold the marker and version.
        bool imageFromThisInstrument = false;
        char memoryImage[kMemoryImageSize] = {};
    };

    QString m_message;
    int m_status = 0;
    QString m_version = QStringLiteral("");
    int m_readJob = 0;  // 1 from a read until the next reprogramming job: silences setStatus/setMessage
    int m_readBusy = 0; // 1 while a read runs
    LastRead m_last;
};
