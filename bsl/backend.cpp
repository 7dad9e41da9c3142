#include "backend.h"

#include "bslengine.h"
#include "enginesink.h"
#include "enginestate.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

constexpr int kArgSlotSize = 256; // bytes per argument text
constexpr int kMaxArgs = 12;
constexpr int kImageBufferSize = 800; // the caller's TI-TXT buffer, NUL included
constexpr char kErasePrefix[] = "Erase";
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

// Argument texts, each in its own fixed slot; one argument may point elsewhere.
// A text that does not fit its slot is never cut: the whole vector is then
// refused, naming the first such text, and nothing reaches the instrument.
struct ArgVector
{
    char texts[kMaxArgs][kArgSlotSize] = {};
    char *argv[kMaxArgs] = {};
    int argc = 0;
    QString refused; // the message when the vector cannot go to the engine
    int refusedResult = 0;

    void refuse(const QString &message, int result)
    {
        if (!refused.isEmpty())
            return;
        refused = message;
        refusedResult = result;
    }
    void add(const char *format, const QByteArray &value = QByteArray(), int failedResult = bsl::kResultInputFile)
    {
        const int needed = std::snprintf(texts[argc], kArgSlotSize, format, value.constData());
        if (needed < 0 || needed >= kArgSlotSize) {
            texts[argc][0] = 0;
            const int room = value.size() - (needed - (kArgSlotSize - 1));
            refuse(QStringLiteral("ERROR: \"%1\" is %2 bytes long, the engine takes at most %3!\n")
                       .arg(QFile::decodeName(value))
                       .arg(value.size())
                       .arg(room),
                   failedResult);
        }
        argv[argc] = texts[argc];
        ++argc;
    }
    // A file path in the local 8-bit file-name encoding, which the engine's
    // file functions take; a name that encoding cannot hold is refused.
    void addPath(const char *format, const QString &path, int failedResult = bsl::kResultInputFile)
    {
        const QByteArray encoded = QFile::encodeName(path);
        if (QFile::decodeName(encoded) != path)
            refuse(QStringLiteral("ERROR: The file name \"%1\" cannot be written in this system's file-name "
                                  "encoding!\n")
                       .arg(path),
                   failedResult);
        add(format, encoded, failedResult);
    }
    void addNumber(int value)
    {
        std::snprintf(texts[argc], kArgSlotSize, "%d", value);
        argv[argc] = texts[argc];
        ++argc;
    }
    void log(const char *prefix) const
    {
        for (int i = 0; i < argc; ++i)
            qDebug("%s%s", prefix, texts[i]);
    }
    // Runs the engine with owner as the sink and the toolkit's options; the
    // sink is removed afterwards so that no later output can reach a
    // destroyed object. facts gets what the run learned.
    int run(BackEnd *owner, bool programs, const bsl::RunOptions &options, BackEnd::RunFacts &facts)
    {
        facts = BackEnd::RunFacts();
        if (!refused.isEmpty()) {
            qWarning().noquote() << refused.trimmed();
            owner->setMessage(refused);
            // As the engine does: a port failure always, the result of a programming run.
            if (programs || refusedResult == bsl::kResultHelpOrPort)
                owner->setStatus(refusedResult);
            return refusedResult;
        }
        RunSink sink(owner);
        bsl::setEngineSink(&sink);
        bsl::engineState().settings.toolkit = options;
        const int result = bsl::bslEngineMain(argc, argv);
        bsl::setEngineSink(nullptr);
        const bsl::TargetState &target = bsl::engineState().target;
        if (target.identityKnown) {
            bsl::LoaderIdentity &loader = facts.loader.emplace();
            std::copy(std::begin(target.family), std::end(target.family), loader.family);
            std::copy(std::begin(target.process), std::end(target.process), loader.process);
            loader.versionMajor = target.versionMajor;
            loader.versionMinor = target.versionMinor;
        }
        facts.opened = target.unlocked;
        facts.lineRate = target.lineRate;
        facts.firstDifference = target.firstDifference;
        return result;
    }
};

void addCommon(ArgVector &args, const QString &comPort, const QString &passwordFilename, int passwordIndex,
               int baudIndex)
{
    args.add("BSLENGINE");
    // The serial port takes the name back as UTF-8.
    args.add("-c%s", comPort.toUtf8(), bsl::kResultHelpOrPort);
    args.add(baudIndex == 2 ? "-s2" : baudIndex == 1 ? "-s1" : "-s0");
    args.add("-x");
    args.addPath("-p%s", passwordFilename);
    args.addNumber(passwordIndex);
}

// The patch for old loaders where the caller keeps it; otherwise the
// engine's default. Only runs that write flash load it.
void addPatch(ArgVector &args, const QString &patchFile)
{
    if (!patchFile.isEmpty())
        args.addPath("-a%s", patchFile);
}

} // namespace

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

int BackEnd::read_memory(QString comPort, QString passwordFilename, int passwordIndex, QString outputFilename,
                         char *buffer)
{
    ArgVector args;
    addCommon(args, comPort, passwordFilename, passwordIndex, m_baudIndex);
    args.add("");
    args.add("-r1000");
    args.add("100");
    args.addPath("%s", outputFilename, bsl::kResultOutputFile);
    args.log("Read memory command is ");

    if (buffer)
        buffer[0] = 0;
    // Every read of every process of this user writes the same file: one at a
    // time, from its removal to its read-back, or one instrument's image could
    // be taken for another's (parallel updates of several instruments).
    QLockFile lock(outputFilename + QStringLiteral(".lock"));
    lock.setStaleLockTime(kOutputLockStaleMs);
    // A lock that cannot even be made (no folder) leaves the engine to name the problem.
    if (args.refused.isEmpty() && !lock.tryLock(kOutputLockWaitMs) && lock.error() == QLockFile::LockFailedError)
        args.refuse(QStringLiteral("ERROR: Output file \"%1\" is in use by another read!\n").arg(outputFilename),
                    bsl::kResultOutputFile);
    // A file from an earlier read must never be taken for this one's.
    const QFileInfo old(outputFilename);
    if (args.refused.isEmpty() && (old.exists() || old.isSymLink()) && !QFile::remove(outputFilename))
        args.refuse(QStringLiteral("ERROR: Unable to remove old output file \"%1\"!\n").arg(outputFilename),
                    bsl::kResultOutputFile);

    qDebug("Calling BSLENGINE");
    // A read at another rate is the check before an erase: it proves long frames.
    bsl::RunOptions options = m_options;
    options.checkFullFrames = true;
    int result = args.run(this, false, options, m_last);
    qDebug("Called BSLENGINE %d", result);

    if (!buffer || result != bsl::kResultSuccess)
        return result;
    FILE *file = std::fopen(args.texts[9], "r");
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

int BackEnd::load_bootstrap(QString comPort, QString passwordFilename, int passwordIndex, char *buffer,
                            QString programFilename)
{
    const bool eraseRun = programFilename.startsWith(QLatin1String(kErasePrefix));
    ArgVector args;
    addCommon(args, comPort, passwordFilename, passwordIndex, m_baudIndex);
    args.add("");
    args.add(eraseRun ? "" : "-y");
    // The caller's text goes in as its own pointer; the log shows a placeholder.
    args.add(eraseRun ? "" : "buffer");
    args.add("+epr");
    args.addPath("%s", eraseRun ? programFilename.mid(int(sizeof kErasePrefix) - 1) : programFilename);
    addPatch(args, m_patchFile);
    args.log("Load memory command is ");
    if (!eraseRun)
        args.argv[8] = buffer ? buffer : args.texts[8];
    return args.run(this, true, m_options, m_last);
}

int BackEnd::verify_memory(QString comPort, QString passwordFilename, int passwordIndex, QString programFilename)
{
    ArgVector args;
    addCommon(args, comPort, passwordFilename, passwordIndex, m_baudIndex);
    args.add("+vr");
    args.addPath("%s", programFilename);
    addPatch(args, m_patchFile);
    args.log("Verify command is ");
    return args.run(this, false, m_options, m_last);
}

int BackEnd::restart(QString comPort, QString passwordFilename, int passwordIndex)
{
    ArgVector args;
    addCommon(args, comPort, passwordFilename, passwordIndex, m_baudIndex);
    args.add("+r");
    args.log("Reset command is ");
    return args.run(this, false, m_options, m_last);
}
