#include "backend.h"

#include "bslengine.h"
#include "enginesink.h"

#include <QDebug>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kArgSlotSize = 256; // bytes per argument text
constexpr int kImageBufferSize = 800; // the caller's TI-TXT buffer, NUL included
constexpr char kErasePrefix[] = "Erase";

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
struct ArgVector
{
    char texts[11][kArgSlotSize] = {};
    char *argv[11] = {};
    int argc = 0;

    void add(const char *format, const QByteArray &value = QByteArray())
    {
        std::snprintf(texts[argc], kArgSlotSize, format, value.constData());
        argv[argc] = texts[argc];
        ++argc;
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
    // Runs the engine with this object as the sink; the sink is removed
    // afterwards so that no later output can reach a destroyed object.
    int run(BackEnd *owner)
    {
        RunSink sink(owner);
        bsl::setEngineSink(&sink);
        const int result = bsl::bslEngineMain(argc, argv);
        bsl::setEngineSink(nullptr);
        return result;
    }
};

void addCommon(ArgVector &args, const QString &comPort, const QString &passwordFilename, int passwordIndex)
{
    args.add("BSLENGINE");
    args.add("-c%s", comPort.toLatin1());
    args.add("-s0");
    args.add("-x");
    args.add("-p%s", passwordFilename.toLatin1());
    args.addNumber(passwordIndex);
}

} // namespace

BackEnd::BackEnd(QObject *parent) : QObject(parent) {}

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

int BackEnd::read_memory(QString comPort, QString passwordFilename, int passwordIndex, QString outputFilename,
                         char *buffer)
{
    ArgVector args;
    addCommon(args, comPort, passwordFilename, passwordIndex);
    args.add("");
    args.add("-r1000");
    args.add("100");
    args.add("%s", outputFilename.toLatin1());
    args.log("Read memory command is ");

    qDebug("Calling BSLENGINE");
    const int result = args.run(this);
    qDebug("Called BSLENGINE %d", result);

    if (!buffer)
        return result;
    buffer[0] = 0;
    if (result != 100)
        return result;
    FILE *file = std::fopen(args.texts[9], "r");
    if (!file)
        return result;
    const size_t n = std::fread(buffer, 1, kImageBufferSize - 1, file);
    if (std::ferror(file))
        std::fputs("Error reading file", stderr);
    else
        buffer[n] = 0;
    std::fclose(file);
    return result;
}

int BackEnd::load_bootstrap(QString comPort, QString passwordFilename, int passwordIndex, char *buffer,
                            QString programFilename)
{
    const bool eraseRun = programFilename.startsWith(QLatin1String(kErasePrefix));
    ArgVector args;
    addCommon(args, comPort, passwordFilename, passwordIndex);
    args.add("");
    args.add(eraseRun ? "" : "-y");
    // The caller's text goes in as its own pointer; the log shows a placeholder.
    args.add(eraseRun ? "" : "buffer");
    args.add("+epr");
    args.add("%s", (eraseRun ? programFilename.mid(int(sizeof kErasePrefix) - 1) : programFilename).toLatin1());
    args.log("Load memory command is ");
    if (!eraseRun)
        args.argv[8] = buffer ? buffer : args.texts[8];
    return args.run(this);
}

int BackEnd::restart(QString comPort, QString passwordFilename, int passwordIndex)
{
    ArgVector args;
    addCommon(args, comPort, passwordFilename, passwordIndex);
    args.add("+r");
    args.log("Reset command is ");
    return args.run(this);
}
