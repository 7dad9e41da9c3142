#include "backend.h"

#include "bslengine.h"
#include "enginesink.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStringList>

#include <cstdio>
#include <iterator>
#include <string>

namespace {

constexpr int kImageBufferSize = 800; // the caller's TI-TXT buffer, NUL included
constexpr char kErasePrefix[] = "Erase";
constexpr char kPortPrefix[] = "\\\\.\\"; // as -c stores a port name
constexpr uint32_t kInfoMemoryStart = 0x1000;
constexpr uint32_t kInfoMemoryLength = 0x100;
constexpr int kOutputLockWaitMs = 60000;   // another process's read: one run, a few seconds
constexpr int kOutputLockStaleMs = 120000; // a holder that hangs longer than any run has gone astray

// Relays the engine's output of one run to a BackEnd.
class RunSink : public bsl::EngineSink
{
public:
    explicit RunSink(BackEnd *owner) : m_owner(owner) {}
    void message(const char *text) override { m_owner->setMessage(QString::fromUtf8(text)); }
    void status(int value) override { m_owner->setStatus(value); }

private:
    BackEnd *m_owner;
};

} // namespace

// Every slot's run: the port, the rate asked for, the memory offset bracket
// and the password record; each slot adds its actions.
struct BackEnd::Request
{
    Request(const QString &comPort, const QString &passwordFilename, int passwordIndex, int baudIndex,
            const bsl::RunOptions &options)
    {
        run.toolkit = options;
        run.toolkit.rateOnlyForKnownFamilies = true;
        bsl::EngineSettings &s = run.settings;
        // The serial port takes the name back as UTF-8.
        s.portName = kPortPrefix + comPort.toUtf8().toStdString();
        s.baudIndex = uint8_t(baudIndex);
        s.actions.changeBaud = true;
        s.actions.invokeBsl = true;
        s.actions.extendedMemory = true;
        s.passwordFile = path(passwordFilename);
        s.passwordIndex = passwordIndex;
        arguments << QStringLiteral("BSLENGINE") << QStringLiteral("-c") + comPort
                  << QStringLiteral("-s") + QString::number(baudIndex) << QStringLiteral("-x")
                  << QStringLiteral("-p") + passwordFilename << QString::number(passwordIndex);
    }

    // The path in the local 8-bit file-name encoding, which the engine's file
    // functions take; a name that encoding cannot hold is refused.
    std::string path(const QString &name, int failedResult = bsl::kResultInputFile)
    {
        const QByteArray encoded = QFile::encodeName(name);
        if (QFile::decodeName(encoded) != name)
            refuse(QStringLiteral("ERROR: The file name \"%1\" cannot be written in this system's file-name "
                                  "encoding!\n")
                       .arg(name),
                   failedResult);
        return encoded.toStdString();
    }
    void refuse(const QString &message, int result)
    {
        if (!refused.isEmpty())
            return;
        refused = message;
        refusedResult = result;
    }
    // The patch for old loaders where the caller keeps it; otherwise the
    // engine's default. Only runs that write flash load it.
    void addPatch(const QString &patchFile)
    {
        if (patchFile.isEmpty())
            return;
        run.settings.patchFile = path(patchFile);
        arguments << QStringLiteral("-a") + patchFile;
    }
    // The information memory read, then the reset into the application. At a
    // faster rate it is the check before an erase: it proves long frames.
    void readInfoMemory()
    {
        bsl::EngineSettings &s = run.settings;
        s.actions.reset = true;
        s.actions.readMemory = true;
        s.start = kInfoMemoryStart;
        s.length = kInfoMemoryLength;
        run.toolkit.checkFullFrames = true;
        arguments << QString() << QStringLiteral("-r1000") << QStringLiteral("100");
    }
    void log(const char *prefix) const
    {
        for (const QString &argument : arguments)
            qDebug().noquote() << QLatin1String(prefix) + argument;
    }

    bsl::RunRequest run;
    QStringList arguments; // the argument vector the request stands for, for the log
    QString refused; // the message when the request cannot go to the engine
    int refusedResult = 0;
};

BackEnd::BackEnd(QObject *parent) : QObject(parent)
{
    m_options.offsetsWhenChanged = true;
}

BackEnd::~BackEnd() = default;

void BackEnd::setMessage(const QString &message)
{
    if (message == m_message)
        return;
    m_message = message;
    emit messageChanged(m_message);
}

void BackEnd::setStatus(int status)
{
    m_status = status;
    emit statusChanged(m_status);
}

void BackEnd::setPatchFile(const QString &path)
{
    m_patchFile = path;
}

void BackEnd::setBaudRate(int baud)
{
    m_baudIndex = 0;
    for (int i = 0; i < int(std::size(bsl::kLineRates)); ++i) {
        if (bsl::kLineRates[i] == baud)
            m_baudIndex = i;
    }
}

int BackEnd::baudRate() const
{
    return bsl::kLineRates[m_baudIndex];
}

int BackEnd::run(const Request &request, bool programs)
{
    m_last = bsl::RunOutcome();
    if (!request.refused.isEmpty()) {
        qWarning().noquote() << request.refused.trimmed();
        setMessage(request.refused);
        // As the engine does: a port failure always, the result of a programming run.
        if (programs || request.refusedResult == bsl::kResultHelpOrPort)
            setStatus(request.refusedResult);
        m_last.result = request.refusedResult;
        return request.refusedResult;
    }
    RunSink sink(this);
    // The relayed lines start as a command line's run would.
    bsl::printRunHeader(sink, int(request.arguments.size()));
    m_last = bsl::runEngine(request.run, sink);
    return m_last.result;
}

int BackEnd::read_memory(QString comPort, QString passwordFilename, int passwordIndex, QString outputFilename,
                         char *buffer)
{
    Request request(comPort, passwordFilename, passwordIndex, m_baudIndex, m_options);
    request.readInfoMemory();
    const std::string outputFile = request.path(outputFilename, bsl::kResultOutputFile);
    request.run.settings.readFile = outputFile;
    request.arguments << outputFilename;
    request.log("Read memory command is ");

    if (buffer)
        buffer[0] = 0;
    // Every read of every process of this user writes the same file: one at a
    // time, from its removal to its read-back, or one instrument's image could
    // be taken for another's (parallel updates of several instruments).
    QLockFile lock(outputFilename + QStringLiteral(".lock"));
    lock.setStaleLockTime(kOutputLockStaleMs);
    // A lock that cannot even be made (no folder) leaves the engine to name the problem.
    if (request.refused.isEmpty() && !lock.tryLock(kOutputLockWaitMs) && lock.error() == QLockFile::LockFailedError)
        request.refuse(QStringLiteral("ERROR: Output file \"%1\" is in use by another read!\n").arg(outputFilename),
                       bsl::kResultOutputFile);
    // A file from an earlier read must never be taken for this one's.
    const QFileInfo old(outputFilename);
    if (request.refused.isEmpty() && (old.exists() || old.isSymLink()) && !QFile::remove(outputFilename))
        request.refuse(QStringLiteral("ERROR: Unable to remove old output file \"%1\"!\n").arg(outputFilename),
                       bsl::kResultOutputFile);

    qDebug("Calling BSLENGINE");
    int result = run(request, false);
    qDebug("Called BSLENGINE %d", result);

    if (!buffer || result != bsl::kResultSuccess)
        return result;
    FILE *file = std::fopen(outputFile.c_str(), "r");
    if (!file) {
        setMessage(QStringLiteral("ERROR: Unable to read output file \"%1\"!\n").arg(outputFilename));
        return bsl::kResultOutputFile;
    }
    const size_t n = std::fread(buffer, 1, kImageBufferSize - 1, file);
    if (std::ferror(file)) {
        std::fputs("Error reading file", stderr);
        setMessage(QStringLiteral("ERROR: Unable to read output file \"%1\"!\n").arg(outputFilename));
        result = bsl::kResultOutputFile;
        buffer[0] = 0;
    } else {
        buffer[n] = 0;
    }
    std::fclose(file);
    return result;
}

int BackEnd::readInfoMemory(const QString &comPort, const QString &passwordFilename, int passwordIndex,
                            QByteArray *bytes)
{
    Request request(comPort, passwordFilename, passwordIndex, m_baudIndex, m_options);
    request.readInfoMemory();
    request.run.toolkit.readToCaller = true;
    request.log("Read memory command is ");
    const int result = run(request, false);
    bytes->clear();
    if (result == bsl::kResultSuccess)
        *bytes = QByteArray(reinterpret_cast<const char *>(m_last.memory.data()), int(m_last.memory.size()));
    return result;
}

int BackEnd::load_bootstrap(QString comPort, QString passwordFilename, int passwordIndex, char *buffer,
                            QString programFilename)
{
    const bool eraseRun = programFilename.startsWith(QLatin1String(kErasePrefix));
    const QString program = eraseRun ? programFilename.mid(int(sizeof kErasePrefix) - 1) : programFilename;
    Request request(comPort, passwordFilename, passwordIndex, m_baudIndex, m_options);
    bsl::EngineSettings &s = request.run.settings;
    s.actions.massErase = s.actions.program = s.actions.reset = true;
    // The caller's text goes in as it is (none: a text the engine refuses
    // before its erase); the log shows a placeholder.
    if (!eraseRun)
        s.bufferText = std::string(buffer ? buffer : "");
    s.programFile = request.path(program);
    request.arguments << QString() << (eraseRun ? QString() : QStringLiteral("-y"))
                      << (eraseRun ? QString() : QStringLiteral("buffer")) << QStringLiteral("+epr") << program;
    request.addPatch(m_patchFile);
    request.log("Load memory command is ");
    return run(request, true);
}

int BackEnd::verify_memory(QString comPort, QString passwordFilename, int passwordIndex, QString programFilename)
{
    Request request(comPort, passwordFilename, passwordIndex, m_baudIndex, m_options);
    bsl::EngineSettings &s = request.run.settings;
    s.actions.verify = s.actions.reset = true;
    s.programFile = request.path(programFilename);
    request.arguments << QStringLiteral("+vr") << programFilename;
    request.addPatch(m_patchFile);
    request.log("Verify command is ");
    return run(request, false);
}

int BackEnd::restart(QString comPort, QString passwordFilename, int passwordIndex)
{
    Request request(comPort, passwordFilename, passwordIndex, m_baudIndex, m_options);
    request.run.settings.actions.reset = true;
    request.arguments << QStringLiteral("+r");
    request.log("Reset command is ");
    return run(request, false);
}
