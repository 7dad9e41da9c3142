#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

// Asks the installation's maintenance tool whether a newer release exists,
// runs its update mode when one does and reports how that ended. Writing
// `path` (the folder holding the tool) runs the check.
class AutoUpdate : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString path READ path WRITE setPath NOTIFY pathChanged)

public:
    static constexpr int kCheckTimeoutMs = 30000; // longest wait for the check's answer

    explicit AutoUpdate(QObject *parent = nullptr);
    ~AutoUpdate() override;

    QString path() const { return m_path; }
    // Every write, even of the same value, runs a new check.
    void setPath(const QString &path);

    // The wait for the check; only tests shorten it.
    int checkTimeout() const { return m_checkTimeoutMs; }
    void setCheckTimeout(int milliseconds) { m_checkTimeoutMs = milliseconds; }

    // The check's command line and the update program for the normal and
    // the development case, exactly as they are run.
    static QString checkCommand(bool development);
    static QString updateProgram(bool development);
    // The tool's location in a development tree.
    static QString developmentToolPath();

signals:
    void starting();
    void updated();
    void cancelled();
    void pathChanged(QString path);

public slots:
    bool checkForNewApplicationVersion();
    void relaunch();

private slots:
    void updateFinished(int exitCode, QProcess::ExitStatus exitStatus);

private:
    QProcess m_updateProcess;
    QString m_path;
    int m_checkTimeoutMs = kCheckTimeoutMs;
};
