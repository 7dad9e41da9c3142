// Pulled cable at every frame of a whole update: whatever frame the line dies
// at, a restarted program must read the instrument and finish the update with
// the firmware in place and the instrument's own information memory kept.
//
// Each case runs in a child process of this program (the engine allows one
// run per process), several at a time, since the runs mostly wait on the line.
//   NVX_FAULT_SHARE=i/n   this process covers frame indexes k with k % n == i (default 0/1: all)
//   NVX_FAULT_JOBS=j      child processes at a time (default 6)
#include "childenvironment.h"
#include "controller.h"
#include "datahome.h"
#include "worker.h"
#include "workflowjobs.h"

#include "simulator.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <map>

using namespace nvxtest;

namespace {

constexpr int kCaseMs = 150000; // one whole case in its child process
constexpr uint8_t kNewMajor = 1, kNewMinor = 208;
constexpr uint32_t kCode = 0x1100;
constexpr int kCodeSize = 720; // three full blocks
const char kChildVariable[] = "NVX_FAULT_CHILD";

std::vector<uint8_t> code()
{
    std::vector<uint8_t> bytes(kCodeSize);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

QByteArray firmware()
{
    return tiTxt({{kCode, code()}, {0xFFDC, {kNewMajor, kNewMinor}}, {0xFFE0, defaultVectors()}}, "\r\n");
}

// The instrument, its bridge and the program's files, with the new firmware beside them.
struct Bench : InstrumentBench
{
    QString firmwarePath;
    std::vector<uint8_t> infoBefore;

    bool setUp(const QString &serial)
    {
        if (!start(serial))
            return false;
        infoBefore = sim->read(0x1000, 0x100);
        firmwarePath = home.filePath(QStringLiteral("731-001-208.txt"));
        QFile fw(firmwarePath);
        if (!fw.open(QIODevice::WriteOnly))
            return false;
        fw.write(firmware());
        return true;
    }
};

// One case in a child process: prints one line and exits 0 when recovered.
int runCase(int k)
{
    Bench bench;
    auto lost = [k](const QString &why) {
        std::printf("case %d: lost: %s\n", k, qPrintable(why));
        return 1;
    };
    if (!bench.setUp(QStringLiteral("FM%1").arg(k)))
        return lost(QStringLiteral("bench not set up"));
    int firstStatus = -1;
    {
        Controller first;
        // A busy machine can starve a run of its line time-outs; the bench,
        // not the instrument, is then at fault, so the first read may repeat.
        QString version;
        for (int attempt = 0; attempt < 3 && version != QLatin1String("1.10"); ++attempt)
            version = readVersion(first, bench.port());
        if (version != QLatin1String("1.10"))
            return lost(QStringLiteral("first read gave ") + version);
        nvxsim::Faults cable;
        cable.hangUpAfterFrames = bench.sim->stats().frames + k;
        bench.sim->setFaults(cable);
        firstStatus = runJob(first, bench.port(), bench.firmwarePath);
        if (firstStatus < 0)
            return lost(QStringLiteral("interrupted update hangs"));
    }
    bench.sim->setFaults(nvxsim::Faults()); // a fault beyond the update's last frame never fired

    // The program starts again, reads and updates; as a user would, it tries
    // again when a try fails, each time as a fresh program.
    QString seen;
    int status = -1;
    int attempts = 0;
    while (status != workflow::kStatusSuccess && attempts < 3) {
        ++attempts;
        Controller again;
        seen = readVersion(again, bench.port());
        if (seen != QLatin1String("1.10") && seen != QLatin1String(workflow::kVersionRecovery)
            && seen != QLatin1String("1.208"))
            continue;
        status = runJob(again, bench.port(), bench.firmwarePath);
        if (status < 0)
            return lost(QStringLiteral("update after restart hangs"));
    }
    if (status != workflow::kStatusSuccess)
        return lost(QStringLiteral("update after restart (read ") + seen + QStringLiteral(") ended with ")
                    + QString::number(status));

    std::vector<uint8_t> expected = bench.infoBefore;
    expected[0x90] = kNewMajor;
    expected[0x91] = kNewMinor;
    QElapsedTimer t;
    t.start();
    while (bench.sim->hostConnected() || bench.sim->read(0x1000, 0x100) != expected) {
        if (t.elapsed() > 5000)
            return lost(QStringLiteral("information memory differs after the update (read ") + seen + QLatin1Char(')'));
        QTest::qWait(10);
    }
    if (bench.sim->read(kCode, kCodeSize) != code() || bench.sim->read(0xFFE0, 32) != defaultVectors())
        return lost(QStringLiteral("firmware not in place"));
    std::printf("case %d: recovered (first update ended %d, read %s, %d %s)\n", k, firstStatus, qPrintable(seen), attempts,
                attempts == 1 ? "try" : "tries");
    return 0;
}

QString phaseOf(const nvxsim::Command &c, const QString &previous)
{
    if (c.cmd == 0x18)
        return QStringLiteral("erase cycles");
    if (c.cmd == 0x12 && c.address >= 0x1000 && c.address < 0x1100)
        return QStringLiteral("information-memory restore");
    if (c.cmd == 0x12)
        return QStringLiteral("firmware blocks");
    return previous;
}

const char kRestartRun[] = "restart run";

struct Outcome
{
    bool recovered = false;
    bool retried = false;
    int firstStatus = -1; // of the interrupted update
    QString line;
};

} // namespace

class FaultMatrixTest : public QObject
{
    Q_OBJECT

    std::map<int, QString> m_phase; // frame index -> phase of the update it falls in
    std::map<int, Outcome> m_outcome;
    int m_updateFrames = 0;

    // One fault-free update, to learn how many frames it has and where its phases lie.
    void calibrate()
    {
        Bench bench;
        QVERIFY(bench.setUp(QStringLiteral("CALIBRATE")));
        int start = 0;
        {
            Controller c;
            QCOMPARE(readVersion(c, bench.port()), QStringLiteral("1.10"));
            start = bench.sim->stats().frames;
            QCOMPARE(runJob(c, bench.port(), bench.firmwarePath), workflow::kStatusSuccess);
        }
        const auto log = bench.sim->commandLog();
        m_updateFrames = bench.sim->stats().frames - start;
        QString phase = QStringLiteral("before the erase");
        int lastWrite = 0;
        int restartRun = m_updateFrames; // its password is the update's last one
        for (int i = 0; i < m_updateFrames; ++i) {
            if (log[size_t(start + i)].cmd == 0x12)
                lastWrite = i;
            if (log[size_t(start + i)].cmd == 0x10)
                restartRun = i;
        }
        for (int i = 0; i < m_updateFrames; ++i) {
            phase = phaseOf(log[size_t(start + i)], phase);
            if (i >= restartRun)
                m_phase[i] = QLatin1String(kRestartRun);
            else
                m_phase[i] = i > lastWrite ? QStringLiteral("end of programming") : phase;
        }
        m_phase[m_updateFrames] = QStringLiteral("after the last frame");
    }

private slots:
    void initTestCase()
    {
        calibrate();
        QVERIFY(m_updateFrames > 30);

        int part = 0, parts = 1;
        const QByteArray share = qgetenv("NVX_FAULT_SHARE");
        if (!share.isEmpty()) {
            const QList<QByteArray> p = share.split('/');
            QVERIFY(p.size() == 2);
            part = p[0].toInt();
            parts = qMax(1, p[1].toInt());
        }
        const int jobs = qMax(1, qEnvironmentVariableIntValue("NVX_FAULT_JOBS") ? qEnvironmentVariableIntValue("NVX_FAULT_JOBS") : 6);

        QList<int> pending;
        for (const auto &entry : m_phase) {
            if (entry.first % parts == part)
                pending << entry.first;
        }
        std::map<int, QProcess *> running;
        std::map<int, QElapsedTimer> started;
        while (!pending.isEmpty() || !running.empty()) {
            while (!pending.isEmpty() && int(running.size()) < jobs) {
                const int k = pending.takeFirst();
                auto *p = new QProcess(this);
                QProcessEnvironment env = nvxtest::childEnvironment();
                env.insert(QLatin1String(kChildVariable), QString::number(k));
                p->setProcessEnvironment(env);
                p->setProcessChannelMode(QProcess::SeparateChannels);
                p->start(QCoreApplication::applicationFilePath(), QStringList());
                running[k] = p;
                started[k].start();
            }
            QTest::qWait(50);
            for (auto it = running.begin(); it != running.end();) {
                QProcess *p = it->second;
                const bool hung = started[it->first].elapsed() > kCaseMs;
                if (p->state() != QProcess::NotRunning && !hung) {
                    ++it;
                    continue;
                }
                if (hung) {
                    p->kill();
                    p->waitForFinished(5000);
                }
                Outcome o;
                const QList<QByteArray> lines = p->readAllStandardOutput().split('\n');
                for (const QByteArray &l : lines) {
                    if (l.contains("case "))
                        o.line = QString::fromUtf8(l.mid(l.indexOf("case ")));
                }
                o.retried = o.line.contains(QLatin1String("tries"));
                const QRegularExpressionMatch first = QRegularExpression(QStringLiteral("first update ended (-?\\d+)")).match(o.line);
                if (first.hasMatch())
                    o.firstStatus = first.captured(1).toInt();
                o.recovered = !hung && p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0;
                if (hung)
                    o.line = QStringLiteral("case %1: lost: hangs").arg(it->first);
                else if (o.line.isEmpty())
                    o.line = QStringLiteral("case %1: lost: child ended with %2").arg(it->first).arg(p->exitCode());
                m_outcome[it->first] = o;
                p->deleteLater();
                it = running.erase(it);
            }
        }
    }

    void pulledCableAtFrame_data()
    {
        QTest::addColumn<int>("frame");
        for (const auto &entry : m_outcome)
            QTest::newRow(qPrintable(QStringLiteral("frame %1, %2").arg(entry.first).arg(m_phase[entry.first]))) << entry.first;
    }

    void pulledCableAtFrame()
    {
        QFETCH(int, frame);
        const Outcome &o = m_outcome[frame];
        QVERIFY2(o.recovered, qPrintable(o.line));
        // Firmware and information memory were in place: a failed restart is no failed update.
        if (m_phase[frame] == QLatin1String(kRestartRun))
            QVERIFY2(o.firstStatus == workflow::kStatusUpdatedNotRestarted, qPrintable(o.line));
    }

    void cleanupTestCase()
    {
        std::map<QString, std::pair<int, int>> byPhase;
        int recovered = 0;
        int retried = 0;
        for (const auto &entry : m_outcome) {
            auto &counts = byPhase[m_phase[entry.first]];
            ++counts.first;
            if (entry.second.retried)
                ++retried;
            if (entry.second.recovered) {
                ++counts.second;
                ++recovered;
            }
        }
        const int cases = int(m_outcome.size());
        std::printf("fault matrix: update of %d frames; cases %d, recovered %d, lost %d (recovered on a second try: %d)\n",
                    m_updateFrames, cases, recovered, cases - recovered, retried);
        for (const auto &p : byPhase)
            std::printf("  %-28s cases %3d, recovered %3d\n", qPrintable(p.first), p.second.first, p.second.second);
        std::fflush(stdout);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    useProgramName();
    if (qEnvironmentVariableIsSet(kChildVariable)) {
        // The engine's traces would drown the one line the case prints.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                std::fprintf(stderr, "%s\n", qPrintable(text));
        });
        return runCase(qEnvironmentVariableIntValue(kChildVariable));
    }
    FaultMatrixTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faultmatrix.moc"
