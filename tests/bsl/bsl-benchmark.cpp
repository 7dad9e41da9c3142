// Programs a 48 KiB image into the virtual instrument on a line paced at
// 9600 baud and prints how close the run comes to the line rate.

#include "bslengine.h"
#include "enginesink.h"
#include "simsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int kBaud = 9600;
constexpr int kBitsPerByte = 11; // start, 8 data, even parity, stop
constexpr uint32_t kImageStart = 0x4000;
constexpr size_t kImageSize = 48 * 1024; // up to the end of the 64 KiB page

class CountingSink : public bsl::EngineSink
{
public:
    void message(const char *) override { ++messages; }
    void status(int value) override { lastStatus = value; }
    long messages = 0;
    int lastStatus = 0;
};

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    nvxsim::Config config;
    config.baud = kBaud;
    nvxsim::Simulator sim(config);
    if (!sim.start()) {
        std::fprintf(stderr, "simulator did not start\n");
        return 2;
    }
    nvxsim::loadDefaultInstrument(sim);

    std::vector<uint8_t> image = pattern(kImageSize, 0x42);
    const std::array<uint8_t, 32> vectors = nvxsim::defaultVectors();
    std::copy(vectors.begin(), vectors.end(), image.end() - 32);
    QTemporaryDir dir;
    const QByteArray path = writeFile(dir, "image.txt", tiTxt(kImageStart, image)).toLocal8Bit();
    const std::string port = "-c" + sim.slavePath();

    // The update's programming run, without the final reset into the application.
    std::vector<std::string> texts = {"BSLENGINE", port, "+ep", path.toStdString()};
    std::vector<char *> args;
    for (std::string &t : texts)
        args.push_back(&t[0]);

    CountingSink sink;
    bsl::setEngineSink(&sink);
    sim.resetStats();
    const double cpuProcessBefore = cpuSeconds(RUSAGE_SELF);
    const double cpuThreadBefore = cpuSeconds(RUSAGE_THREAD);
    QElapsedTimer wall;
    wall.start();
    const int result = bsl::bslEngineMain(int(args.size()), args.data());
    const double wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    const double cpuProcess = cpuSeconds(RUSAGE_SELF) - cpuProcessBefore;
    const double cpuThread = cpuSeconds(RUSAGE_THREAD) - cpuThreadBefore;
    bsl::setEngineSink(nullptr);

    const nvxsim::Stats stats = sim.stats();
    const long long wireBytes = stats.bytesIn + stats.bytesOut;
    const double bound = double(wireBytes) * kBitsPerByte / kBaud;
    const bool intact = sim.read(kImageStart, kImageSize) == image;
    // Line sequences before the first byte: settle, RTS pulses, settle.
    const double lineSequences = 0.25 + 0.25 + 5 * 0.01 + 0.25;

    std::printf("\n\n48 KiB image at %d baud 8E1 (result %d, image %s)\n", kBaud, result, intact ? "intact" : "WRONG");
    std::printf("  frames %d, bytes host->target %lld, target->host %lld\n", stats.frames, stats.bytesIn, stats.bytesOut);
    std::printf("  wall time            %8.2f s\n", wallSeconds);
    std::printf("  line-rate bound      %8.2f s  (%lld bytes x %d bits / %d)\n", bound, wireBytes, kBitsPerByte, kBaud);
    std::printf("  wall / bound         %8.4f  (%+.2f %%)\n", wallSeconds / bound, (wallSeconds / bound - 1) * 100);
    std::printf("  without the entry line sequence (%.2f s): %+.2f %%\n", lineSequences,
                ((wallSeconds - lineSequences) / bound - 1) * 100);
    std::printf("  CPU, whole process   %8.2f s  (engine thread %.2f s; the rest is the simulator)\n", cpuProcess, cpuThread);
    std::printf("  per KiB              %8.3f s\n", wallSeconds / 48);
    return result == 100 && intact ? 0 : 1;
}
