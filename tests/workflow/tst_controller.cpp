#include "controller.h"
#include "worker.h"
#include "workflowjobs.h"

#include "simulator.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

QByteArray hexLine(const std::vector<uint8_t> &bytes, size_t from, size_t count)
{
    QByteArray line;
    for (size_t i = from; i < from + count; ++i)
        line += QByteArray::number(bytes[i], 16).rightJustified(2, '0').toUpper() + ' ';
    line.chop(1);
    return line + "\r\n";
}

// One four-line password record: address line, two lines of 16 bytes, end line.
QByteArray passwordRecord(const std::array<uint8_t, 32> &vectors)
{
    const std::vector<uint8_t> v(vectors.begin(), vectors.end());
    return "@FFE0\r\n" + hexLine(v, 0, 16) + hexLine(v, 16, 16) + "q\r\n";
}

std::array<uint8_t, 32> foreignVectors()
{
    std::array<uint8_t, 32> v = nvxsim::defaultVectors();
    for (auto &b : v)
        b ^= 0x20;
    return v;
}

// A small firmware image for the default instrument: code from 0x1100, its
// version record and the instrument's vector table.
QByteArray firmwareImage(uint8_t major, uint8_t minor)
{
    std::vector<uint8_t> code(64);
    for (size_t i = 0; i < code.size(); ++i)
        code[i] = static_cast<uint8_t>(0x30 + i);
    const auto vectors = nvxsim::defaultVectors();
    const std::vector<uint8_t> v(vectors.begin(), vectors.end());
    QByteArray text = "@1100\r\n";
    for (size_t i = 0; i < code.size(); i += 16)
        text += hexLine(code, i, 16);
    text += "@FFDC\r\n" + hexLine({major, minor, 0xFF, 0xFF}, 0, 4);
    text += "@FFE0\r\n" + hexLine(v, 0, 16) + hexLine(v, 16, 16) + "q\r\n";
    return text;
}

} // namespace

using nvxtest::jobStatuses;
using nvxtest::readVersion;
using nvxtest::lastRecord;

class ControllerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir home;
    std::unique_ptr<nvxsim::Simulator> sim;

    QString port() const { return QString::fromStdString(sim->slavePath()); }

    void writePasswordFile(const QByteArray &contents)
    {
        QDir().mkpath(QFileInfo(Worker::passwordFilePath()).path());
        QFile f(Worker::passwordFilePath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(contents);
    }

    QString writeFirmware(uint8_t major, uint8_t minor)
    {
        const QString path = home.filePath(QStringLiteral("fw-%1-%2.txt").arg(major).arg(minor));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return QString();
        f.write(firmwareImage(major, minor));
        return path;
    }

    int countCommands(uint8_t cmd) const
    {
        const auto log = sim->commandLog();
        return static_cast<int>(std::count_if(log.begin(), log.end(), [cmd](const nvxsim::Command &c) { return c.cmd == cmd; }));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        nvxtest::useDataHome(home.path());
    }

    void init()
    {
        sim = std::make_unique<nvxsim::Simulator>();
        nvxsim::loadDefaultInstrument(*sim, 1, 10);
        QVERIFY(sim->start());
        writePasswordFile(passwordRecord(nvxsim::defaultVectors()) + passwordRecord(foreignVectors()));
        nvxtest::listBridge(QStringLiteral("NVX0001"), port());
    }

    void cleanup()
    {
        sim.reset();
        discovery::setDriverFactory(nullptr);
    }

    void readTriesRecordsFromTheLastOneBackwards()
    {
        // Records: good, foreign, foreign — two refusals come first.
        writePasswordFile(passwordRecord(nvxsim::defaultVectors()) + passwordRecord(foreignVectors())
                          + passwordRecord(foreignVectors()));
        Controller c;
        QSignalSpy statuses(&c, &Controller::controllerHandleStatusChanged);
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        QCOMPARE(countCommands(0x10), 3);
        // A read reports no status of its own: kStatusReadDone stays inside the worker.
        QCOMPARE(statuses.count(), 0);
    }

    void unterminatedLastLineGivesOneAttemptFewerRecords()
    {
        // Seven line feeds (the last line unterminated): one attempt, at line 3,
        // then the standard password of an erased instrument.
        QByteArray file = passwordRecord(nvxsim::defaultVectors()) + passwordRecord(nvxsim::defaultVectors());
        file.chop(2);
        QCOMPARE(file.count('\n'), 7);
        writePasswordFile(file);
        Controller c;
        const int sessionsBefore = sim->stats().sessions;
        QCOMPARE(readVersion(c, port()), QLatin1String(workflow::kVersionUnknown));
        QCOMPARE(sim->stats().sessions - sessionsBefore, 2);
    }

    void noPasswordOpensTheInstrument_data()
    {
        QTest::addColumn<QByteArray>("passwordFile");
        QTest::newRow("foreign records") << passwordRecord(foreignVectors()) + passwordRecord(foreignVectors());
        QTest::newRow("fewer than four lines") << QByteArray("@FFE0\r\nq\r\n");
        QTest::newRow("empty") << QByteArray();
    }

    void noPasswordOpensTheInstrument()
    {
        QFETCH(QByteArray, passwordFile);
        writePasswordFile(passwordFile);
        Controller c;
        QCOMPARE(readVersion(c, port()), QLatin1String(workflow::kVersionUnknown));
        // Nothing read, so an update is refused without touching the instrument.
        const QString fw = writeFirmware(1, 208);
        sim->clearCommandLog();
        QCOMPARE(jobStatuses(c, port(), fw), QList<int>{workflow::kStatusRefused});
        QVERIFY(sim->commandLog().empty());
    }

    void foreignMarkerIsUnknownAndRefusesUpdate()
    {
        sim->write(0x1080, {0x55});
        Controller c;
        QCOMPARE(readVersion(c, port()), QLatin1String(workflow::kVersionUnknown));
        QCOMPARE(countCommands(0x10), 2); // the first successful read ended the search
        sim->clearCommandLog();
        QCOMPARE(jobStatuses(c, port(), writeFirmware(1, 208)), QList<int>{workflow::kStatusRefused});
        QCOMPARE(countCommands(0x18), 0);
    }

    void versionBytesAreDecimalMajorDotMinor()
    {
        sim->write(0x1090, {0x02, 0x0B});
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("2.11"));
    }

    // Reads queued one behind the other: each version is told with the port
    // it belongs to, and busy spans them all. An update of a demo port ends
    // as the engine ends for a port it cannot open.
    void demoPortsReadAsOneDotZeroAndCannotBeOpened()
    {
        Controller c;
        QSignalSpy busy(&c, &Controller::busyChanged);
        QStringList answers;
        connect(&c, &Controller::controllerHandleVersionChanged, this,
                [&] { answers << c.readPort() + QLatin1Char(' ') + c.version(); });
        c.read(QStringLiteral("demoport1"));
        c.read(QStringLiteral("demoport2"));
        QVERIFY(c.busy());
        QTRY_VERIFY_WITH_TIMEOUT(!c.busy(), nvxtest::kJobMs);
        QCOMPARE(answers, (QStringList{QStringLiteral("demoport1 1.0"), QStringLiteral("demoport2 1.0")}));
        QCOMPARE(busy.size(), 2);

        QSignalSpy statuses(&c, &Controller::controllerHandleStatusChanged);
        c.start(QStringLiteral("demoport2"), writeFirmware(1, 208));
        QTRY_VERIFY_WITH_TIMEOUT(!c.busy(), nvxtest::kJobMs);
        QVERIFY(!statuses.isEmpty());
        for (const QList<QVariant> &status : qAsConst(statuses))
            QCOMPARE(status.at(0).toInt(), workflow::kStatusPortFailed);
    }

    void updateProgramsFirmwareAndRestoresInformationMemory()
    {
        const std::vector<uint8_t> infoBefore = sim->read(0x1000, 0x100);
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));

        const QList<int> statuses = jobStatuses(c, port(), writeFirmware(1, 208));
        QVERIFY(!statuses.isEmpty());
        QCOMPARE(statuses.last(), workflow::kStatusSuccess);
        QVERIFY(statuses.count(workflow::kStatusProgress) >= 20); // every erase cycle and block ticks

        // The firmware is in place and information memory is the instrument's
        // own, except the version, which the new firmware records when it starts.
        QTRY_VERIFY_WITH_TIMEOUT(!sim->hostConnected(), 5000);
        QCOMPARE(sim->read(0x1100, 4), (std::vector<uint8_t>{0x30, 0x31, 0x32, 0x33}));
        std::vector<uint8_t> expected = infoBefore;
        expected[0x90] = 1;
        expected[0x91] = 208;
        QTRY_COMPARE_WITH_TIMEOUT(sim->read(0x1000, 0x100), expected, 5000);
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.208"));
        // The window's updates are on the record too.
        QCOMPARE(lastRecord().result, QStringLiteral("Update Complete"));
        QCOMPARE(lastRecord().versionBefore, QStringLiteral("1.10"));
    }

    void eraseRunProgramsTheFileWithoutImageOrRestart()
    {
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10")); // an erase goes only after a read
        const QString fw = writeFirmware(1, 208);
        const QList<int> statuses = jobStatuses(c, port(), QStringLiteral("Erase") + fw);
        QVERIFY(!statuses.isEmpty());
        QCOMPARE(statuses.last(), workflow::kStatusSuccess);
        QVERIFY(sim->stats().massErases >= 1);
        QCOMPARE(sim->read(0x1100, 2), (std::vector<uint8_t>{0x30, 0x31}));
        QCOMPARE(sim->read(0x1080, 1), std::vector<uint8_t>{0xFF}); // no image written back
    }

    void pulledCableEndsTheUpdateWithAFailure()
    {
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        nvxsim::Faults f;
        f.hangUpAfterFrames = sim->stats().frames + 30; // inside the erase cycles
        sim->setFaults(f);
        const QList<int> statuses = jobStatuses(c, port(), writeFirmware(1, 208));
        QVERIFY(!statuses.isEmpty());
        QVERIFY2(statuses.last() > workflow::kStatusSuccess, qPrintable(QString::number(statuses.last())));
        // Erased part-way: what it runs now only the next read can tell.
        const UpdateRecord record = lastRecord();
        QCOMPARE(record.status, statuses.last());
        QCOMPARE(record.versionBefore, QStringLiteral("1.10"));
        QCOMPARE(record.versionAfter, QString());
    }

    void destroyingTheControllerWaitsForTheJob()
    {
        sim.reset();
        nvxsim::Config slow;
        slow.baud = 9600;
        sim = std::make_unique<nvxsim::Simulator>(slow);
        nvxsim::loadDefaultInstrument(*sim, 1, 10);
        QVERIFY(sim->start());
        {
            Controller c;
            c.read(port());
            QTRY_VERIFY_WITH_TIMEOUT(sim->stats().frames > 0, 10000);
        }
        // The read ran to its end: both chunks of information memory were read.
        const auto log = sim->commandLog();
        QCOMPARE(std::count_if(log.begin(), log.end(), [](const nvxsim::Command &cmd) {
                     return cmd.cmd == 0x14 && cmd.address >= 0x1000 && cmd.address < 0x1100;
                 }),
                 2L);
    }
};

QTEST_GUILESS_MAIN(ControllerTest)
#include "tst_controller.moc"
