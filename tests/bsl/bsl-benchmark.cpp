// Programs the same 48 KiB image into the virtual instrument twice, its line
// paced at the rate the loader runs at: once at 9600 baud throughout, once
// switched to 38400 baud after the unlock. Prints both side by side, and how
// close each comes to what its line allows.

#include "bslengine.h"
#include "enginesink.h"
#include "simsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstring>
#include <sys/resource.h>

namespace {

constexpr int kStartBaud = 9600;
constexpr int kBitsPerByte = 11; // start, 8 data, even parity, stop
constexpr uint32_t kImageStart = 0x4000;
constexpr size_t kImageSize = 48 * 1024; // up to the end of the 64 KiB page
const char kProgramLine[] = "Program \""; // the engine's line as the programming step starts

// Notes when the programming step starts, and what the line carried until then.
class PhaseSink : public bsl::EngineSink
{
public:
    PhaseSink(const nvxsim::Simulator &sim, const QElapsedTimer &wall) : m_sim(sim), m_wall(wall) {}
    void message(const char *text) override
    {
        if (std::strncmp(text, kProgramLine, sizeof kProgramLine - 1) == 0) {
            programStartNs = m_wall.nsecsElapsed();
            const nvxsim::Stats stats = m_sim.stats();
            bytesBeforeProgram = stats.bytesIn + stats.bytesOut;
        }
    }
    void status(int) override {}

    qint64 programStartNs = 0;
    long long bytesBeforeProgram = 0;

private:
    const nvxsim::Simulator &m_sim;
    const QElapsedTimer &m_wall;
};

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figures
{
    int baud = 0;
    int result = 0;
    bool intact = false;
    int frames = 0;
    int lineBaud = 0; // the simulator's pacing at the end
    long long wireBytes = 0;
    long long programBytes = 0;
    double wallSeconds = 0;
    double programSeconds = 0;
    double cpuProcess = 0;
    double cpuThread = 0;

    double programBound() const { return double(programBytes) * kBitsPerByte / baud; }
};

// The update's programming run, without the final reset into the application.
Figures programAt(int baud, int baudIndex, const QByteArray &imagePath, const std::vector<uint8_t> &image)
{
    Figures f;
    f.baud = baud;
    nvxsim::Config config;
    config.baud = kStartBaud;
    nvxsim::Simulator sim(config);
    if (!sim.start()) {
        std::fprintf(stderr, "simulator did not start\n");
        return f;
    }
    nvxsim::loadDefaultInstrument(sim);

    std::vector<std::string> texts = {"BSLENGINE", "-c" + sim.slavePath(), "-s" + std::to_string(baudIndex), "+ep",
                                      imagePath.toStdString()};
    std::vector<char *> args;
    for (std::string &t : texts)
        args.push_back(&t[0]);

    QElapsedTimer wall;
    PhaseSink sink(sim, wall);
    bsl::EngineSettings settings;
    sim.resetStats();
    const double cpuProcessBefore = cpuSeconds(RUSAGE_SELF);
    const double cpuThreadBefore = cpuSeconds(RUSAGE_THREAD);
    wall.start();
    f.result = bsl::bslEngineMain(int(args.size()), args.data(), sink, settings);
    const qint64 endNs = wall.nsecsElapsed();
    f.cpuProcess = cpuSeconds(RUSAGE_SELF) - cpuProcessBefore;
    f.cpuThread = cpuSeconds(RUSAGE_THREAD) - cpuThreadBefore;

    const nvxsim::Stats stats = sim.stats();
    f.frames = stats.frames;
    f.wireBytes = stats.bytesIn + stats.bytesOut;
    f.programBytes = f.wireBytes - sink.bytesBeforeProgram;
    f.wallSeconds = double(endNs) / 1e9;
    f.programSeconds = double(endNs - sink.programStartNs) / 1e9;
    f.intact = sim.read(kImageStart, kImageSize) == image;
    f.lineBaud = sim.lineBaud();
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    FILE *out = stdout;

    std::vector<uint8_t> image = pattern(kImageSize, 0x42);
    const std::array<uint8_t, 32> vectors = nvxsim::defaultVectors();
    std::copy(vectors.begin(), vectors.end(), image.end() - 32);
    QTemporaryDir dir;
    const QByteArray path = writeFile(dir, "image.txt", tiTxt(kImageStart, image)).toLocal8Bit();

    const Figures slow = programAt(9600, 0, path, image);
    const Figures fast = programAt(38400, 2, path, image);

    auto row = [out](const char *label, const QString &a, const QString &b) {
        std::fprintf(out, "  %-38s %18s %18s\n", label, qPrintable(a), qPrintable(b));
    };
    auto seconds = [](double s) { return QString::asprintf("%.2f s", s); };
    std::fprintf(out, "48 KiB image, line paced at the loader's rate, 8E1 (%d bits a byte)\n", kBitsPerByte);
    row("", QStringLiteral("9600 baud"), QStringLiteral("38400 baud"));
    row("result", QString::asprintf("%d, image %s", slow.result, slow.intact ? "intact" : "WRONG"),
        QString::asprintf("%d, image %s", fast.result, fast.intact ? "intact" : "WRONG"));
    row("loader's rate after the unlock", QString::number(slow.lineBaud), QString::number(fast.lineBaud));
    row("frames", QString::number(slow.frames), QString::number(fast.frames));
    row("bytes on the line, both directions", QString::number(slow.wireBytes), QString::number(fast.wireBytes));
    row("whole run (wall time)", seconds(slow.wallSeconds), seconds(fast.wallSeconds));
    row("programming phase (wall time)", seconds(slow.programSeconds), seconds(fast.programSeconds));
    row("programming phase line-rate bound", seconds(slow.programBound()), seconds(fast.programBound()));
    row("programming / bound", QString::asprintf("%.3f", slow.programSeconds / slow.programBound()),
        QString::asprintf("%.3f", fast.programSeconds / fast.programBound()));
    row("per KiB programmed", seconds(slow.programSeconds / 48), seconds(fast.programSeconds / 48));
    row("CPU, whole process (engine thread)", QString::asprintf("%.2f s (%.2f s)", slow.cpuProcess, slow.cpuThread),
        QString::asprintf("%.2f s (%.2f s)", fast.cpuProcess, fast.cpuThread));
    std::fprintf(out, "  programming phase %.2f times faster at 38400 baud, whole run %.2f times\n",
                slow.programSeconds / fast.programSeconds, slow.wallSeconds / fast.wallSeconds);
    std::fflush(out);
    const bool ok = slow.result == 100 && slow.intact && fast.result == 100 && fast.intact;
    return ok ? 0 : 1;
}
