#pragma once

#include "runrequest.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

// The program's way into the bootstrap-loader engine: each slot fills a run
// request, runs the engine on the calling thread and relays its printed
// lines and status values as properties. The debug log shows each request
// as the argument vector it stands for. Paths go to the engine in the local
// 8-bit file-name encoding; one that encoding cannot hold is refused before
// anything is sent to the instrument.
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

    // The information memory (0x1000-0x10FF) read as read_memory reads it,
    // into bytes (the 256 when the result is 100, else none): no file, no
    // text. At a faster rate it proves long frames, as the check before an
    // erase must. Returns the engine result.
    int readInfoMemory(const QString &comPort, const QString &passwordFilename, int passwordIndex, QByteArray *bytes);

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
    // A run request, the argument vector it stands for and what may keep it
    // from the engine.
    struct Request;
    // Runs the request with this object as the sink; m_last gets what the
    // run learned.
    int run(const Request &request, bool programs);

    QString m_message;
    int m_status = 0;
    QString m_patchFile;
    int m_baudIndex = 0; // -s: 0 9600, 1 19200, 2 38400
    bsl::RunOptions m_options; // for every run of this object
    bsl::RunOutcome m_last; // of the last run
};
