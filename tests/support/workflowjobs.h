#pragma once

// The controller's jobs against the virtual instrument, for the suites of the
// update workflow. Link nvx_workflow, nvxsim and Qt5::Test with it.

#include "controller.h"
#include "datahome.h"
#include "devicesources.h"
#include "listeddevicedriver.h"
#include "simulator.h"
#include "status.h"
#include "titxtfiles.h"
#include "updaterecord.h"
#include "worker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <vector>

namespace nvxtest {

constexpr int kJobMs = 60000; // upper bound for one job; a hang fails the test, it never slows a good run

inline std::vector<uint8_t> defaultVectors()
{
    const auto v = nvxsim::defaultVectors();
    return std::vector<uint8_t>(v.begin(), v.end());
}

// One four-line password record: the interrupt vectors that open the loader.
inline QByteArray passwordRecord(const std::vector<uint8_t> &vectors)
{
    return tiTxt(0xFFE0, vectors, "\r\n");
}

// Discovery lists one bridge: port, with this serial number (possibly empty),
// or nothing at all when not listed (a plain serial port). Undo with
// discovery::setDriverFactory(nullptr).
inline void listBridge(const QString &serialNumber, const QString &port, bool listed = true)
{
    discovery::setDriverFactory([serialNumber, port, listed] {
        QVector<discovery::ListedDevice> devices;
        if (listed)
            devices.push_back({serialNumber.toLatin1(), QByteArrayLiteral("NVX7300"), port});
        return std::make_unique<discovery::ListedDeviceDriver>(devices);
    });
}

// One default instrument (firmware 1.10) on a pseudo-terminal behind a listed
// bridge, and the program's password file with its record, in a data home of
// the bench's own: what a user's PC holds, and what the update suites run
// their jobs on. start() gives a fresh instrument and fresh program files.
class InstrumentBench
{
public:
    QTemporaryDir home;
    std::unique_ptr<nvxsim::Simulator> sim;

    // False when the home, the instrument or the password file cannot be made.
    bool start(const QString &bridgeSerial = QStringLiteral("NVX0001"), const nvxsim::Config &config = nvxsim::Config())
    {
        if (!home.isValid())
            return false;
        useDataHome(home.path());
        sim = std::make_unique<nvxsim::Simulator>(config);
        nvxsim::loadDefaultInstrument(*sim, 1, 10);
        if (!sim->start())
            return false;
        listBridge(bridgeSerial, port());
        QDir(programFiles()).removeRecursively();
        return QDir().mkpath(programFiles()) && writePasswordFile(passwordRecord(defaultVectors()));
    }

    void stop()
    {
        sim.reset();
        discovery::setDriverFactory(nullptr);
    }

    QString port() const { return QString::fromStdString(sim->slavePath()); }

    // Where the program keeps the password file, the image and the backups.
    static QString programFiles() { return QFileInfo(Worker::passwordFilePath()).path(); }

    static bool writePasswordFile(const QByteArray &contents)
    {
        QFile f(Worker::passwordFilePath());
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(contents) == contents.size();
    }
};

// The last version text the window saw after a read.
inline QString readVersion(Controller &c, const QString &port)
{
    QSignalSpy versions(&c, &Controller::controllerHandleVersionChanged);
    c.read(port);
    if (!versions.wait(kJobMs))
        return QStringLiteral("<timeout>");
    return versions.last().at(0).toString();
}

// Every status a job reported, its end status last.
inline QList<int> jobStatuses(Controller &c, const QString &port, const QString &file)
{
    QSignalSpy statuses(&c, &Controller::controllerHandleStatusChanged);
    c.start(port, file);
    QList<int> seen;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < kJobMs) {
        if (statuses.isEmpty() && !statuses.wait(int(kJobMs - t.elapsed())))
            break;
        while (!statuses.isEmpty()) {
            seen << statuses.takeFirst().at(0).toInt();
            if (seen.last() != workflow::kStatusProgress)
                return seen;
        }
    }
    return seen;
}

// The job's end status, or -1 when it never came.
inline int runJob(Controller &c, const QString &port, const QString &file)
{
    const QList<int> seen = jobStatuses(c, port, file);
    return seen.isEmpty() || seen.last() == workflow::kStatusProgress ? -1 : seen.last();
}

// How the job ended, as the controller tells it before its end status; a
// job that does not tell (on a demo port) gives its status alone.
inline workflow::JobEnd jobEnd(Controller &c, const QString &port, const QString &file)
{
    QSignalSpy ends(&c, &Controller::jobEndChanged);
    const int status = runJob(c, port, file);
    return ends.isEmpty() ? workflow::JobEnd{status} : ends.first().at(0).value<workflow::JobEnd>();
}

// The last line of the update record, as the last job wrote it.
inline UpdateRecord lastRecord()
{
    UpdateRecord last;
    QString error;
    updaterecord::read(
        updaterecord::filePath(), [&](const UpdateRecord &r) { last = r; }, [](int, const QString &) {}, &error);
    return last;
}

// Frames that change the instrument: mass erase, block write, segment erase.
inline int changingCommands(const nvxsim::Simulator &sim)
{
    const auto log = sim.commandLog();
    return int(std::count_if(log.begin(), log.end(),
                             [](const nvxsim::Command &c) { return c.cmd == 0x12 || c.cmd == 0x16 || c.cmd == 0x18; }));
}

} // namespace nvxtest
