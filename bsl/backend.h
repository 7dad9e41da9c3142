#pragma once

#include <QObject>
#include <QString>

// The program's way into the bootstrap-loader engine: each slot builds an
// argument vector, runs the engine on the calling thread and relays its
// printed lines and status values as properties. Paths go to the engine in
// the local 8-bit file-name encoding; one that does not fit its argument is
// refused before anything is sent to the instrument.
class BackEnd : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString message READ message WRITE setMessage NOTIFY messageChanged)
    Q_PROPERTY(int status READ status WRITE setStatus NOTIFY statusChanged)

public:
    explicit BackEnd(QObject *parent = nullptr);
    ~BackEnd() override;

    QString message() const { return m_message; }
    int status() const { return m_status; }
    void setMessage(const QString &message); // emits only on change
    void setStatus(int status); // emits always

    // Where the flash patch for old loaders is kept; passed to the
    // programming runs (-a). Empty: the engine's default name.
    void setPatchFile(const QString &path);
    QString patchFile() const { return m_patchFile; }
    // The loader version word (major x 256 + minor) that this object's last
    // run read from the instrument; 0 when that run read none.
    int loaderVersion() const { return m_loaderVersion; }

    // The line rate the runs ask the loader for once it is unlocked: 9600
    // (the start rate, so nothing is asked), 19200 or 38400. Any other
    // value is 9600.
    void setBaudRate(int baud);
    int baudRate() const;
    // The rate this object's last run ended up at: the one asked for when the
    // loader took it, 9600 when it refused or the run stopped before asking.
    int lineRate() const { return m_lineRate; }

signals:
    void statusChanged(int status);
    void messageChanged(QString message);

public slots:
    int read_memory(QString comPort, QString passwordFilename, int passwordIndex, QString outputFilename,
                    char *buffer);
    int load_bootstrap(QString comPort, QString passwordFilename, int passwordIndex, char *buffer,
                       QString programFilename);
    int restart(QString comPort, QString passwordFilename, int passwordIndex);

private:
    QString m_message;
    int m_status = 0;
    QString m_patchFile;
    int m_loaderVersion = 0;
    int m_baudIndex = 0; // -s: 0 9600, 1 19200, 2 38400
    int m_lineRate = 9600; // the start rate, before any run
};
