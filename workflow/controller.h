#pragma once

#include <QObject>
#include <QString>
#include <QThread>

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

    // The serial number of the bridge that discovery lists on comPort, which
    // may also be an alias of its port; empty when none does. GUI thread
    // only, like discovery.
    static QString bridgeSerialNumber(const QString &comPort);

public slots:
    void start(const QString &comPort, const QString &filename);
    void read(const QString &comPort);
    void controllerStatusChanged(int status);
    void controllerMessageChanged(const QString &message);
    void controllerVersionChanged(const QString &version);

signals:
    void operate(const QString &comPort, const QString &filename);
    void operateRead(const QString &comPort);
    void bridgeSerialResolved(const QString &comPort, const QString &serialNumber);
    void controllerHandleStatusChanged(int status);
    void controllerHandleMessageChanged(QString message);
    void controllerHandleVersionChanged(QString version);

private:
    QThread m_workerThread;
    QString m_message;
    int m_status = 0;
    QString m_version = QStringLiteral("");
};
