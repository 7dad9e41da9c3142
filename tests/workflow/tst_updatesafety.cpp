// What an update checks before it erases, what it keeps, and how an erased
// instrument is found again, against the virtual instrument.
#include "controller.h"
#include "infomemory.h"
#include "worker.h"

#include "devicesources.h"
#include "jobsupport.h"
#include "listeddevicedriver.h"
#include "tools/simulator/simulator.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

using jobs::readVersion;
using jobs::runJob;

QByteArray hexLines(const std::vector<uint8_t> &bytes)
{
    QByteArray text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        text += QByteArray::number(bytes[i], 16).rightJustified(2, '0').toUpper();
        text += (i % 16 == 15 || i + 1 == bytes.size()) ? "\r\n" : " ";
    }
    return text;
}

std::vector<uint8_t> vectors()
{
    const auto v = nvxsim::defaultVectors();
    return std::vector<uint8_t>(v.begin(), v.end());
}

QByteArray goodFirmware()
{
    std::vector<uint8_t> code(64);
    for (size_t i = 0; i < code.size(); ++i)
        code[i] = static_cast<uint8_t>(0x30 + i);
    return "@1100\r\n" + hexLines(code) + "@FFDC\r\n" + hexLines({1, 208}) + "@FFE0\r\n" + hexLines(vectors()) + "q\r\n";
}

bool changesTheInstrument(const nvxsim::Command &c)
{
    return c.cmd == 0x12 || c.cmd == 0x16 || c.cmd == 0x18;
}

} // namespace

class UpdateSafetyTest : public QObject
{
    Q_OBJECT

    QTemporaryDir home;
    std::unique_ptr<nvxsim::Simulator> sim;
    QString serial;

    QString port() const { return QString::fromStdString(sim->slavePath()); }

    void listBridge(const QString &serialNumber)
    {
        serial = serialNumber;
        const QString p = port();
        discovery::setDriverFactory([serialNumber, p] {
            QVector<discovery::ListedDevice> devices;
            if (!serialNumber.isEmpty())
                devices.push_back({serialNumber.toLatin1(), QByteArrayLiteral("NVX7300"), p});
            return std::make_unique<discovery::ListedDeviceDriver>(devices);
        });
    }

    QString writeFile(const QString &name, const QByteArray &contents)
    {
        const QString path = home.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QString();
        f.write(contents);
        return path;
    }

    int changingCommands() const
    {
        const auto log = sim->commandLog();
        return int(std::count_if(log.begin(), log.end(), changesTheInstrument));
    }

    void eraseInstrument()
    {
        sim->write(0x1000, std::vector<uint8_t>(0x10000 - 0x1000, 0xFF));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("XDG_DATA_HOME", home.path().toLocal8Bit());
        QCoreApplication::setOrganizationName(QStringLiteral("ostrel"));
        QCoreApplication::setApplicationName(QStringLiteral("NVX7300 Toolkit"));
    }

    void init()
    {
        sim = std::make_unique<nvxsim::Simulator>();
        nvxsim::loadDefaultInstrument(*sim, 1, 10);
        QVERIFY(sim->start());
        listBridge(QStringLiteral("NVX0001"));
        QDir(QFileInfo(Worker::passwordFilePath()).path()).removeRecursively();
        QDir().mkpath(QFileInfo(Worker::passwordFilePath()).path());
        QFile f(Worker::passwordFilePath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("@FFE0\r\n" + hexLines(vectors()) + "q\r\n");
    }

    void cleanup()
    {
        sim.reset();
        discovery::setDriverFactory(nullptr);
    }

    void faultyFirmwareIsNeverFlashed_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("eraseRun");
        const QByteArray good = goodFirmware();
        const QByteArray html = "<!DOCTYPE html>\n<html><body>502 Bad Gateway</body></html>\n";
        const QByteArray intoInfo = QByteArray(good).replace("@1100", "@1000");
        const QByteArray noVectors = good.left(good.indexOf("@FFE0")) + "q\r\n";
        QTest::newRow("truncated") << good.left(good.size() / 2) << false;
        QTest::newRow("HTML page") << html << false;
        QTest::newRow("writes information memory") << intoInfo << false;
        QTest::newRow("no reset vector") << noVectors << false;
        QTest::newRow("service erase, truncated") << good.left(good.size() - 5) << true;
        QTest::newRow("service erase, HTML page") << html << true;
    }

    void faultyFirmwareIsNeverFlashed()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, eraseRun);
        const std::vector<uint8_t> before = sim->read(0x1000, 0xF000);
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        sim->clearCommandLog();
        QSignalSpy messages(&c, &Controller::controllerHandleMessageChanged);
        const QString file = writeFile(QStringLiteral("bad.txt"), contents);
        QCOMPARE(runJob(c, port(), eraseRun ? QStringLiteral("Erase") + file : file), 0);
        QCOMPARE(changingCommands(), 0);
        QVERIFY(sim->read(0x1000, 0xF000) == before);
        QVERIFY(!messages.isEmpty());
        QVERIFY2(messages.last().at(0).toString().startsWith(QLatin1String("Update refused: firmware file check failed")),
                 qPrintable(messages.last().at(0).toString()));
    }

    void swappedInstrumentIsRefusedWithNothingWritten_data()
    {
        QTest::addColumn<bool>("otherBridge");
        QTest::addColumn<QString>("reasonPart");
        // Same password, same port, different calibration: only its memory tells it apart.
        QTest::newRow("another instrument on the bridge") << false << "differs from the one read";
        QTest::newRow("another bridge on the port") << true << "the bridge on";
    }

    void swappedInstrumentIsRefusedWithNothingWritten()
    {
        QFETCH(bool, otherBridge);
        QFETCH(QString, reasonPart);
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        if (otherBridge)
            listBridge(QStringLiteral("NVX0002"));
        else
            sim->write(0x10DA, {0x09, 0x11});
        const std::vector<uint8_t> before = sim->read(0x1000, 0xF000);
        sim->clearCommandLog();
        QSignalSpy messages(&c, &Controller::controllerHandleMessageChanged);
        QCOMPARE(runJob(c, port(), writeFile(QStringLiteral("fw.txt"), goodFirmware())), 0);
        QCOMPARE(changingCommands(), 0);
        QVERIFY(sim->read(0x1000, 0xF000) == before);
        QVERIFY(!messages.isEmpty());
        QVERIFY2(messages.last().at(0).toString().contains(reasonPart), qPrintable(messages.last().at(0).toString()));
    }

    void retryAfterARefusalStillComparesTheInstrumentAsRead()
    {
        // A refused update must not leave the saved image altered for the next try.
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        QCOMPARE(runJob(c, port(), writeFile(QStringLiteral("bad.txt"), "<html>\n")), 0);
        QCOMPARE(runJob(c, port(), writeFile(QStringLiteral("fw.txt"), goodFirmware())), 100);
    }

    void backupIsKeptPerBridgeAndNeverReplacedByAnUnmarkedImage()
    {
        const std::vector<uint8_t> info = sim->read(0x1000, 0x100);
        const QByteArray infoBytes(reinterpret_cast<const char *>(info.data()), int(info.size()));
        {
            Controller c;
            QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        }
        const QString backup = Worker::backupFilePath(QStringLiteral("NVX0001"));
        QVERIFY(backup.contains(QLatin1String("NVX0001")));
        QCOMPARE(infomemory::loadBackup(backup), infoBytes);

        // Something that is no NVX7300 on the same bridge leaves the backup alone.
        sim->write(0x1080, {0x55});
        sim->write(0x10DA, {0x00});
        {
            Controller c;
            QCOMPARE(readVersion(c, port()), QStringLiteral("Unknown"));
        }
        QCOMPARE(infomemory::loadBackup(backup), infoBytes);
        // Another bridge gets its own file.
        QVERIFY(Worker::backupFilePath(QStringLiteral("NVX0002")) != backup);
        QVERIFY(!Worker::backupFilePath(QStringLiteral("../..")).contains(QLatin1String("..")));
    }

    void erasedInstrumentWithItsBackupIsRecoveredByTheNextUpdate()
    {
        const std::vector<uint8_t> info = sim->read(0x1000, 0x100);
        {
            Controller c;
            QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        }
        eraseInstrument();
        Controller c;
        QSignalSpy versions(&c, &Controller::controllerHandleVersionChanged);
        QCOMPARE(readVersion(c, port()), QLatin1String(Worker::kRecoveryVersion));
        QVERIFY(c.needsRecovery());
        QCOMPARE(runJob(c, port(), writeFile(QStringLiteral("fw.txt"), goodFirmware())), 100);

        std::vector<uint8_t> expected = info;
        expected[0x90] = 1;
        expected[0x91] = 208;
        QTRY_COMPARE_WITH_TIMEOUT(sim->read(0x1000, 0x100), expected, 5000);
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.208"));
        QVERIFY(!c.needsRecovery());
    }

    void erasedInstrumentIsNotRecoveredFromAnUnfitBackup_data()
    {
        QTest::addColumn<QString>("bridge");
        QTest::addColumn<QByteArray>("left"); // what the erase left at 0x10DA
        QTest::newRow("no bridge serial number") << QString() << QByteArray();
        QTest::newRow("another instrument's calibration") << QStringLiteral("NVX0001") << QByteArray("\x09\x11");
    }

    void erasedInstrumentIsNotRecoveredFromAnUnfitBackup()
    {
        QFETCH(QString, bridge);
        QFETCH(QByteArray, left);
        {
            Controller c;
            QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        }
        eraseInstrument();
        if (!left.isEmpty())
            sim->write(0x10DA, std::vector<uint8_t>(left.begin(), left.end()));
        listBridge(bridge);
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("Unknown"));
        QVERIFY(!c.needsRecovery());
        sim->clearCommandLog();
        QCOMPARE(runJob(c, port(), writeFile(QStringLiteral("fw.txt"), goodFirmware())), 0);
        QCOMPARE(changingCommands(), 0);
    }

    void backupThatIsNoImageCountsAsNone()
    {
        {
            Controller c;
            QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        }
        QFile backup(Worker::backupFilePath(QStringLiteral("NVX0001")));
        QVERIFY(backup.open(QIODevice::WriteOnly | QIODevice::Truncate));
        backup.write("<html>not found</html>\n");
        backup.close();
        eraseInstrument();
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("Unknown"));
    }

    void informationImageText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("complete");
        QByteArray bytes(256, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i);
        const QByteArray text = infomemory::toText(bytes);
        QTest::newRow("as written") << text << true;
        QTest::newRow("one line short") << QByteArray(text).remove(6, 48) << false;
        QTest::newRow("extra byte at 0x1100") << QByteArray(text).replace("q\n", "@1100\n00\nq\n") << false;
        QTest::newRow("a byte twice") << QByteArray(text).replace("q\n", "@1000\n00\nq\n") << false;
        QTest::newRow("no end line") << QByteArray(text).replace("q\n", "") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }

    void informationImageText()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, complete);
        QCOMPARE(infomemory::fromText(text).size(), complete ? 256 : 0);
    }
};

QTEST_GUILESS_MAIN(UpdateSafetyTest)
#include "tst_updatesafety.moc"
