#pragma once

#include "enginestate.h"

#include <QObject>
#include <QString>

#include <optional>

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
    // The loader this object's last run dealt with (read, or handed in); none
    // when it knew none. Its version word is 0 then.
    std::optional<bsl::LoaderIdentity> loaderIdentity() const { return m_last.loader; }
    int loaderVersion() const { return m_last.loader ? m_last.loader->versionWord() : 0; }
    // A password opened the loader in the last run (whatever happened after).
    bool loaderOpened() const { return m_last.opened; }
    // The loader the following runs take as the instrument's when their own
    // read of it fails: what the check before an erase read. None: each run
    // knows only what it reads.
    void setKnownLoader(const std::optional<bsl::LoaderIdentity> &loader) { m_options.knownLoader = loader; }

    // The line rate the runs ask the loader for once it is unlocked: 9600
    // (the start rate, so nothing is asked), 19200 or 38400. Any other
    // value is 9600.
    void setBaudRate(int baud);
    int baudRate() const;
    // The rate this object's last run ended up at: the one asked for when the
    // loader took it, 9600 when it refused or the run stopped before asking.
    int lineRate() const { return m_last.lineRate; }

    // What an engine run leaves behind for its caller.
    struct RunFacts
    {
        std::optional<bsl::LoaderIdentity> loader;
        bool opened = false;
        int lineRate = bsl::kStartBaudRate;
        std::optional<uint32_t> firstDifference;
    };

    // Programming runs read back every block they wrote and compare it.
    void setReadBack(bool on) { m_options.readBack = on; }
    bool readBack() const { return m_options.readBack; }
    // Where the last run's verification first found memory not as the file
    // says; none when it found none (or did not verify).
    std::optional<uint32_t> firstDifference() const { return m_last.firstDifference; }

    // Compares the memory the firmware file describes with the file, and
    // changes nothing (but RAM, for the flash patch of an old loader): the
    // loader is opened with the password given and reset into the
    // application at the end. Returns the engine result: 100 identical, 198
    // different.
    int verify_memory(QString comPort, QString passwordFilename, int passwordIndex, QString programFilename);

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
    int m_baudIndex = 0; // -s: 0 9600, 1 19200, 2 38400
    bsl::RunOptions m_options; // for every run of this object
    RunFacts m_last; // of the last run
};
