// BackEnd: argument vectors, property rules and the update's three runs
// against the virtual instrument.

#include "backend.h"
#include "messagelog.h"
#include "simsupport.h"
#include "testfiles.h"

#include <QLockFile>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

class TestBackEnd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void metaObjectOrder();
    void messageEmitsOnChangeStatusAlways();
    void argumentVectorsAreLogged_data();
    void argumentVectorsAreLogged();
    void unopenablePortLeavesBufferEmpty();
    void readLoadRestartAsTheUpdateDoes();
    void refusedPasswordLeavesBufferEmpty();
    void readNeverTakesAnOldFile_data();
    void readNeverTakesAnOldFile();
    void readWaitsWhileAnotherReadHoldsTheImage();
    void eraseRunProgramsNoBuffer();

private:
    std::unique_ptr<nvxtest::MessageLog> m_log;
};

void TestBackEnd::init()
{
    m_log = std::make_unique<nvxtest::MessageLog>();
}

void TestBackEnd::cleanup()
{
    m_log.reset();
}

void TestBackEnd::metaObjectOrder()
{
    const QMetaObject &mo = BackEnd::staticMetaObject;
    const int first = mo.methodOffset();
    QStringList methods;
    for (int i = first; i < mo.methodCount(); ++i)
        methods << QString::fromLatin1(mo.method(i).methodSignature());
    QCOMPARE(methods, QStringList({"statusChanged(int)", "messageChanged(QString)",
                                   "read_memory(QString,QString,int,QString,char*)",
                                   "load_bootstrap(QString,QString,int,char*,QString)",
                                   "restart(QString,QString,int)"}));
    QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 2);
    QCOMPARE(QString(mo.property(mo.propertyOffset()).name()), QString("message"));
    QCOMPARE(QString(mo.property(mo.propertyOffset() + 1).name()), QString("status"));
}

void TestBackEnd::messageEmitsOnChangeStatusAlways()
{
    BackEnd backEnd;
    QSignalSpy messages(&backEnd, &BackEnd::messageChanged);
    QSignalSpy statuses(&backEnd, &BackEnd::statusChanged);
    backEnd.setMessage("Mass Erase...\n");
    backEnd.setMessage("Mass Erase...\n");
    backEnd.setProperty("message", QString("Mass Erase...\n"));
    backEnd.setStatus(2);
    backEnd.setStatus(2);
    backEnd.setProperty("status", 2);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(statuses.count(), 3);
    QCOMPARE(backEnd.status(), 2);
}

void TestBackEnd::argumentVectorsAreLogged_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QStringList>("expected");
    const QString port = "/dev/nvx-missing";
    const QStringList common = {"BSLENGINE", "-c" + port, "-s0", "-x", "-ppw.txt", "8"};
    auto prefixed = [](const QString &prefix, const QStringList &args) {
        QStringList out;
        for (const QString &a : args)
            out << prefix + a;
        return out;
    };
    QTest::newRow("load") << "load"
                          << prefixed("Load memory command is ", common + QStringList{"", "-y", "buffer", "+epr", "fw.txt"});
    QTest::newRow("load with the patch")
        << "patch" << prefixed("Load memory command is ", common + QStringList{"", "-y", "buffer", "+epr", "fw.txt", "-aP.TXT"});
    QTest::newRow("erase") << "erase"
                           << prefixed("Load memory command is ", common + QStringList{"", "", "", "+epr", "/tmp/fw.txt"});
    QTest::newRow("read") << "read"
                          << prefixed("Read memory command is ", common + QStringList{"", "-r1000", "100", "out.txt"})
                                 + QStringList{"Calling BSLENGINE", "Called BSLENGINE 1"};
    QTest::newRow("restart") << "restart" << prefixed("Reset command is ", common + QStringList{"+r"});
}

void TestBackEnd::argumentVectorsAreLogged()
{
    QFETCH(QString, slot);
    QFETCH(QStringList, expected);
    BackEnd backEnd;
    char buffer[800] = "@1000\nq\n";
    const QString port = "/dev/nvx-missing";
    int result = 0;
    backEnd.setPatchFile(slot == "patch" ? "P.TXT" : "");
    if (slot == "load" || slot == "patch")
        result = backEnd.load_bootstrap(port, "pw.txt", 8, buffer, "fw.txt");
    else if (slot == "erase")
        result = backEnd.load_bootstrap(port, "pw.txt", 8, buffer, "Erase/tmp/fw.txt");
    else if (slot == "read")
        result = backEnd.read_memory(port, "pw.txt", 8, "out.txt", buffer);
    else
        result = backEnd.restart(port, "pw.txt", 8);
    QCOMPARE(result, 1);
    QCOMPARE(m_log->texts(QtDebugMsg), expected);
}

void TestBackEnd::unopenablePortLeavesBufferEmpty()
{
    BackEnd backEnd;
    QSignalSpy statuses(&backEnd, &BackEnd::statusChanged);
    char buffer[800] = "stale text";
    QSignalSpy messages(&backEnd, &BackEnd::messageChanged);
    QCOMPARE(backEnd.read_memory("/dev/nvx-missing", "pw.txt", 0, "out.txt", buffer), 1);
    QVERIFY(messages.size() > 3);
    QCOMPARE(messages.at(2).at(0).toString(), QString("Parse command line 10 args\n")); // as the command line begins
    QCOMPARE(buffer[0], '\0');
    QCOMPARE(statuses.count(), 1);
    QCOMPARE(backEnd.status(), 1);
    QCOMPARE(backEnd.message(), QString("ERROR: Opening COM-Port failed!\n"));
}

void TestBackEnd::readLoadRestartAsTheUpdateDoes()
{
    nvxsim::Simulator sim;
    QVERIFY(sim.start());
    nvxsim::loadDefaultInstrument(sim, 1, 10);
    const std::vector<uint8_t> infoBefore = sim.read(0x1000, 256);
    QTemporaryDir dir;
    const QString pw = writeFile(dir, "pw.txt", passwordFileText());
    const QString fw = writeFile(dir, "fw.txt", firmwareText(1024, 2, 0));
    const QString port = QString::fromStdString(sim.slavePath());

    BackEnd backEnd;
    char buffer[800] = {};
    QCOMPARE(backEnd.read_memory(port, pw, 0, dir.filePath("info.txt"), buffer), 100);
    QCOMPARE(QByteArray(buffer), tiTxt(0x1000, infoBefore));
    QCOMPARE(QByteArray(buffer).size(), 776);
    QCOMPARE(QByteArray(buffer).mid(390, 2), QByteArray("AA"));
    QByteArray bytes;
    QCOMPARE(backEnd.readInfoMemory(port, pw, 0, &bytes), 100);
    QCOMPARE(bytes, QByteArray(reinterpret_cast<const char *>(infoBefore.data()), 256));

    // The worker erases the version bytes so that the new firmware records its own.
    std::memcpy(buffer + 438, "FF", 2);
    std::memcpy(buffer + 441, "FF", 2);
    QSignalSpy statuses(&backEnd, &BackEnd::statusChanged);
    QCOMPARE(backEnd.load_bootstrap(port, pw, 0, buffer, fw), 100);
    QVERIFY(statuses.count() > 20);
    for (int i = 0; i < 20; ++i)
        QCOMPARE(statuses.at(i).at(0).toInt(), 2);
    QCOMPARE(statuses.last().at(0).toInt(), 100);
    QCOMPARE(backEnd.restart(port, pw, 0), 100);

    std::vector<uint8_t> infoExpected = infoBefore;
    infoExpected[0x90] = 2; // recorded by the new application
    infoExpected[0x91] = 0;
    QCOMPARE(sim.read(0x1000, 256), infoExpected);
    QCOMPARE(sim.read(0x8000, 1024), pattern(1024, 0x31));
    QCOMPARE(sim.read(0x1100, 0x8000 - 0x1100), std::vector<uint8_t>(0x8000 - 0x1100, 0xFF));
    QCOMPARE(sim.read(0x8400, 0xFFDC - 0x8400), std::vector<uint8_t>(0xFFDC - 0x8400, 0xFF));
    const std::array<uint8_t, 32> v = nvxsim::defaultVectors();
    QCOMPARE(sim.read(0xFFE0, 32), std::vector<uint8_t>(v.begin(), v.end()));
}

void TestBackEnd::refusedPasswordLeavesBufferEmpty()
{
    nvxsim::Simulator sim;
    QVERIFY(sim.start());
    nvxsim::loadDefaultInstrument(sim);
    QTemporaryDir dir;
    const QString pw = writeFile(dir, "pw.txt", passwordFileText());
    BackEnd backEnd;
    char buffer[800] = "stale";
    QCOMPARE(backEnd.read_memory(QString::fromStdString(sim.slavePath()), pw, 4, dir.filePath("info.txt"), buffer),
             107);
    QCOMPARE(buffer[0], '\0');
    QCOMPARE(backEnd.message(), QString("ERROR: Password not accepted!\n"));
}

void TestBackEnd::readNeverTakesAnOldFile_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("sent"); // whether the instrument was talked to
    QTest::addColumn<QString>("message"); // how the last message starts
    QTest::newRow("old image replaced") << "old image" << 100 << true << QString();
    QTest::newRow("old image cannot be removed") << "directory" << 195 << false
                                                 << "ERROR: Unable to remove old output file";
    QTest::newRow("output folder missing") << "no folder" << 195 << true << "ERROR: Unable to write output file";
    QTest::newRow("output path of more than 255 bytes") << "long output" << 100 << true << QString();
    QTest::newRow("password path of more than 255 bytes") << "long password" << 100 << true << QString();
    QTest::newRow("loader family of unknown clocks") << "unknown family" << 100 << true << QString();
}

void TestBackEnd::readNeverTakesAnOldFile()
{
    QFETCH(QString, setup);
    QFETCH(int, result);
    QFETCH(bool, sent);
    QFETCH(QString, message);
    nvxsim::Config config;
    if (setup == "unknown family")
        config.family[0] = 0x30;
    nvxsim::Simulator sim(config);
    QVERIFY(sim.start());
    nvxsim::loadDefaultInstrument(sim, 1, 10);
    QTemporaryDir dir;
    QString pw = writeFile(dir, "pw.txt", passwordFileText());
    QString out = dir.filePath("info.txt");
    if (setup == "old image")
        writeFile(dir, "info.txt", tiTxt(0x1000, std::vector<uint8_t>(256, 0x11)));
    else if (setup == "directory")
        QVERIFY(QDir(dir.path()).mkpath("info.txt/inside"));
    else if (setup == "no folder")
        out = dir.filePath("missing/info.txt");
    const QString deep = dir.filePath(QString(120, 'd') + "/" + QString(120, 'e'));
    if (setup == "long output" && QDir().mkpath(deep))
        out = deep + "/info.txt";
    else if (setup == "long password")
        pw = nvxtest::writeFile(deep + "/pw.txt", passwordFileText());

    BackEnd backEnd;
    char buffer[800] = "stale text";
    QCOMPARE(backEnd.read_memory(QString::fromStdString(sim.slavePath()), pw, 0, out, buffer), result);
    QCOMPARE(sim.stats().sessions > 0, sent);
    if (result == 100) {
        QCOMPARE(QByteArray(buffer), tiTxt(0x1000, sim.read(0x1000, 256)));
        const std::vector<nvxsim::Command> sent = sim.commandLog();
        QVERIFY(std::none_of(sent.begin(), sent.end(), [](const nvxsim::Command &c) { return c.cmd == 0x20; }));
        return;
    }
    QCOMPARE(buffer[0], '\0');
    QVERIFY2(backEnd.message().startsWith(message), qPrintable(backEnd.message()));
}

// Every process of the user reads into the same image file: a read that
// started meanwhile must not reach the instrument until the other is done.
void TestBackEnd::readWaitsWhileAnotherReadHoldsTheImage()
{
    nvxsim::Simulator sim;
    QVERIFY(sim.start());
    nvxsim::loadDefaultInstrument(sim, 1, 10);
    QTemporaryDir dir;
    const QString pw = writeFile(dir, "pw.txt", passwordFileText());
    const QString out = dir.filePath("info.txt");

    std::promise<void> held;
    std::atomic<int> sessionsWhileHeld{-1};
    std::thread other([&] {
        QLockFile lock(out + ".lock");
        if (lock.lock()) {
            held.set_value();
            QThread::msleep(500);
            sessionsWhileHeld = int(sim.stats().sessions);
        } else {
            held.set_value();
        }
    });
    held.get_future().wait();
    BackEnd backEnd;
    char buffer[800] = {};
    const int result = backEnd.read_memory(QString::fromStdString(sim.slavePath()), pw, 0, out, buffer);
    other.join();
    QCOMPARE(result, 100);
    QCOMPARE(sessionsWhileHeld.load(), 0);
    QCOMPARE(QByteArray(buffer), tiTxt(0x1000, sim.read(0x1000, 256)));
}

void TestBackEnd::eraseRunProgramsNoBuffer()
{
    nvxsim::Simulator sim;
    QVERIFY(sim.start());
    nvxsim::loadDefaultInstrument(sim);
    QTemporaryDir dir;
    const QString fw = writeFile(dir, "fw.txt", firmwareText(64, 3, 1));
    BackEnd backEnd;
    char buffer[800] = {};
    std::memcpy(buffer, tiTxt(0x1000, std::vector<uint8_t>(256, 0x11)).constData(), 776);
    QCOMPARE(backEnd.load_bootstrap(QString::fromStdString(sim.slavePath()), "", 0, buffer, "Erase" + fw), 100);
    QCOMPARE(sim.read(0x1000, 0x90), std::vector<uint8_t>(0x90, 0xFF));
    QCOMPARE(sim.read(0x8000, 64), pattern(64, 0x31));
}

QTEST_GUILESS_MAIN(TestBackEnd)
#include "tst_backend.moc"
