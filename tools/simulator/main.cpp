// nvx7300-sim: serves a virtual NVX7300 on a pseudo-terminal until SIGINT/SIGTERM.
// The first line of standard output is the slave path to open.
#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>

#include <pthread.h>

namespace {

bool parseHexWord(const QString &text, uint16_t &value)
{
    bool ok = false;
    QString t = text.trimmed();
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        t = t.mid(2);
    const uint v = t.toUInt(&ok, 16);
    if (!ok || v > 0xFFFF)
        return false;
    value = static_cast<uint16_t>(v);
    return true;
}

bool parseCount(const QCommandLineParser &parser, const QString &name, int &value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    value = parser.value(name).toInt(&ok);
    return ok && value >= 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nvx7300-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Virtual NVX7300 bootstrap loader on a pseudo-terminal. Prints the port path "
                       "on the first line and serves until SIGINT or SIGTERM."));
    parser.addHelpOption();
    const QList<QCommandLineOption> options = {
        {QStringLiteral("image"), QStringLiteral("TI-TXT image to preload instead of the default instrument."), QStringLiteral("file")},
        {QStringLiteral("bsl-version"), QStringLiteral("BSL version word, hexadecimal (default 0161)."), QStringLiteral("hex")},
        {QStringLiteral("family"), QStringLiteral("Family bytes, hexadecimal (default F149)."), QStringLiteral("hex")},
        {QStringLiteral("baud"), QStringLiteral("Pace the line at this rate (0: unpaced)."), QStringLiteral("n")},
        {QStringLiteral("version-major"), QStringLiteral("Firmware major version of the default instrument."), QStringLiteral("n")},
        {QStringLiteral("version-minor"), QStringLiteral("Firmware minor version of the default instrument."), QStringLiteral("n")},
        {QStringLiteral("dump"), QStringLiteral("Write memory 0x1000-0xFFFF as TI-TXT on exit."), QStringLiteral("file")},
        {QStringLiteral("no-sync"), QStringLiteral("Never answer the sync byte.")},
        {QStringLiteral("nak-after"), QStringLiteral("NAK every frame after N frames."), QStringLiteral("n")},
        {QStringLiteral("corrupt-after"), QStringLiteral("Corrupt data-frame checksums after N frames."), QStringLiteral("n")},
        {QStringLiteral("silence-after"), QStringLiteral("Answer nothing after N frames."), QStringLiteral("n")},
        {QStringLiteral("hangup-after"), QStringLiteral("Pull the cable after N frames (until the port is closed)."), QStringLiteral("n")},
        {QStringLiteral("refuse-baud"), QStringLiteral("Refuse the baud-rate change.")},
        {QStringLiteral("mute-after"), QStringLiteral("Answer the sync byte but no frame after N frames."), QStringLiteral("n")},
        {QStringLiteral("bad-length-after"), QStringLiteral("Send data-frame replies with L2 != L1 after N frames."), QStringLiteral("n")},
        {QStringLiteral("bad-command-after"), QStringLiteral("Send data-frame replies with a non-zero command byte after N frames."), QStringLiteral("n")},
    };
    parser.addOptions(options);
    parser.process(app);

    auto fail = [](const char *what) {
        std::fprintf(stderr, "nvx7300-sim: %s\n", what);
        return 2;
    };

    nvxsim::Config config;
    uint16_t word = 0;
    if (parser.isSet(QStringLiteral("bsl-version"))) {
        if (!parseHexWord(parser.value(QStringLiteral("bsl-version")), word))
            return fail("invalid --bsl-version");
        config.bslVersion = word;
    }
    if (parser.isSet(QStringLiteral("family"))) {
        if (!parseHexWord(parser.value(QStringLiteral("family")), word))
            return fail("invalid --family");
        config.family[0] = static_cast<uint8_t>(word >> 8);
        config.family[1] = static_cast<uint8_t>(word & 0xFF);
    }
    int baud = 0, major = 1, minor = 10;
    if (!parseCount(parser, QStringLiteral("baud"), baud))
        return fail("invalid --baud");
    config.baud = baud;
    if (!parseCount(parser, QStringLiteral("version-major"), major) || major > 255
        || !parseCount(parser, QStringLiteral("version-minor"), minor) || minor > 255)
        return fail("invalid version");

    nvxsim::Faults faults;
    faults.noSyncReply = parser.isSet(QStringLiteral("no-sync"));
    faults.refuseBaudChange = parser.isSet(QStringLiteral("refuse-baud"));
    if (!parseCount(parser, QStringLiteral("nak-after"), faults.nakAfterFrames)
        || !parseCount(parser, QStringLiteral("corrupt-after"), faults.corruptChecksumAfterFrames)
        || !parseCount(parser, QStringLiteral("silence-after"), faults.silenceAfterFrames)
        || !parseCount(parser, QStringLiteral("hangup-after"), faults.hangUpAfterFrames)
        || !parseCount(parser, QStringLiteral("mute-after"), faults.muteFrameAfterFrames)
        || !parseCount(parser, QStringLiteral("bad-length-after"), faults.badReplyLengthAfterFrames)
        || !parseCount(parser, QStringLiteral("bad-command-after"), faults.badReplyCommandAfterFrames))
        return fail("invalid fault count");

    nvxsim::Simulator sim(config);
    if (parser.isSet(QStringLiteral("image"))) {
        QFile file(parser.value(QStringLiteral("image")));
        if (!file.open(QIODevice::ReadOnly))
            return fail("cannot open the image");
        if (!sim.loadTiTxt(file.readAll().toStdString()))
            return fail("the image is not valid TI-TXT");
    } else {
        nvxsim::loadDefaultInstrument(sim, static_cast<uint8_t>(major), static_cast<uint8_t>(minor));
    }
    sim.setFaults(faults);

    // Block the stop signals before the serve thread exists so that only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (!sim.start())
        return fail("cannot open a pseudo-terminal");
    std::printf("%s\n", sim.slavePath().c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    sim.stop();

    if (parser.isSet(QStringLiteral("dump"))) {
        std::string text = sim.dumpTiTxt(0x1000, 0x100);
        text.erase(text.size() - 2); // one file: the "q" goes after the last section
        text += sim.dumpTiTxt(0x1100, 0xEF00, true);
        QFile file(parser.value(QStringLiteral("dump")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()))
            return fail("cannot write the dump");
    }
    const nvxsim::Stats s = sim.stats();
    std::fprintf(stderr, "nvx7300-sim: %d sessions, %d frames, %lld bytes in, %lld bytes out\n",
                 s.sessions, s.frames, s.bytesIn, s.bytesOut);
    return 0;
}
