// A whole update as a service bench runs it: nvx7300ctl update --baud 38400
// of a firmware that fills the main flash (60 KiB), against the virtual
// instrument on a line paced like the loader's UART (8E1, 11 bits a byte),
// from the command to its end. Prints the time, the frames, and how close the
// write frames come to what a 38400 baud line allows.

#include "childenvironment.h"
#include "datahome.h"
#include "simsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <cstdio>

namespace {

constexpr int kBitsPerByte = 11;
constexpr int kFastBaud = 38400;
constexpr uint32_t kCodeStart = 0x1100; // main flash, up to the version record and the vectors
constexpr uint32_t kVersionRecord = 0xFFDC;

// Bytes on the line for one frame: sync and its ACK, the frame, a one-byte reply.
long long lineBytes(const nvxsim::Command &c)
{
    const int data = c.cmd == 0x12 ? (c.length + 1) / 2 * 2 : 0;
    return 2 + 10 + data + 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    nvxsim::Config config;
    config.baud = 9600; // the loader's start rate; the line follows its changes
    nvxsim::Simulator sim(config);
    nvxsim::loadDefaultInstrument(sim, 1, 10);
    if (!home.isValid() || !sim.start())
        return 2;

    const std::vector<uint8_t> code = pattern(kVersionRecord - kCodeStart, 0x31);
    std::vector<uint8_t> tail = {1, 208, 0xFF, 0xFF};
    const auto vectors = nvxsim::defaultVectors();
    tail.insert(tail.end(), vectors.begin(), vectors.end());
    const QString firmware = writeFile(home, "731-001-208-2024-01-01-1200.txt",
                                       tiTxt({{kCodeStart, code}, {kVersionRecord, tail}}));
    const QString port = QString::fromStdString(sim.slavePath());

    QProcess ctl;
    QProcessEnvironment env = nvxtest::childEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
    env.insert(QStringLiteral("NVX_BENCH_BRIDGES"), QStringLiteral("BENCH1=") + port);
    ctl.setProcessEnvironment(env);
    QElapsedTimer wall;
    wall.start();
    ctl.start(QStringLiteral(CTL_PROGRAM), {QStringLiteral("update"), QStringLiteral("--port"), port,
                                            QStringLiteral("--file"), firmware, QStringLiteral("--baud"),
                                            QString::number(kFastBaud)});
    ctl.waitForFinished(-1);
    const double seconds = double(wall.elapsed()) / 1000.0;
    const bool intact = ctl.exitCode() == 0 && sim.read(kCodeStart, code.size()) == code;

    // The firmware's write frames, from the end of the first to the end of the last.
    const std::vector<nvxsim::Command> log = sim.commandLog();
    const nvxsim::Command *first = nullptr;
    const nvxsim::Command *last = nullptr;
    long long bytes = 0;
    int writes = 0, offsets = 0;
    for (const nvxsim::Command &c : log) {
        offsets += c.cmd == 0x21;
        if (c.cmd != 0x12 || c.address < kCodeStart)
            continue;
        if (first)
            bytes += lineBytes(c);
        (first ? last : first) = &c;
        ++writes;
    }
    const double written = first && last ? std::chrono::duration<double>(last->at - first->at).count() : 0;
    const double bound = double(bytes) * kBitsPerByte / kFastBaud;

    std::printf("nvx7300ctl update --baud %d, %.1f KiB of firmware, line paced at the loader's rate (8E1)\n",
                kFastBaud, double(code.size() + tail.size()) / 1024);
    std::printf("  result                                  exit %d, firmware %s\n", ctl.exitCode(),
                intact ? "in place" : "WRONG");
    std::printf("  whole update, command to end            %.2f s\n", seconds);
    std::printf("  frames of the update (of them 0x21)     %zu (%d)\n", log.size(), offsets);
    std::printf("  write frames, first to last             %d in %.2f s\n", writes, written);
    std::printf("  their line-rate bound                   %.2f s\n", bound);
    std::printf("  write frames / line bound               %.3f\n", written > 0 ? bound / written : 0.0);
    return intact ? 0 : 1;
}
