// Faults, sessions, application start and line pacing of the virtual instrument.
#include "simlink.h"

#include <QtTest>

using namespace simtest;
using nvxsim::Config;
using nvxsim::Faults;
using nvxsim::Simulator;

namespace {

constexpr int kNoReplyMs = 150; // long enough for any unpaced reply to show

bool replugged(Bench &b, int sessions)
{
    b.link->close();
    if (!QTest::qWaitFor([&] { return !b.sim.hostConnected(); }, 2000))
        return false;
    return b.link->open() && QTest::qWaitFor([&] { return b.sim.stats().sessions == sessions; }, 2000);
}

} // namespace

class TestSimSession : public QObject {
    Q_OBJECT

private slots:
    void noSyncReplyLeavesSyncUnanswered();
    void nakAfterFrames();
    void corruptChecksumAfterFrames();
    void silenceUntilFaultsChange();
    void replyFaultsAfterFrames_data();
    void replyFaultsAfterFrames();
    void hangUpUntilReplugged();
    void everySessionStartsLocked();
    void applicationStartRecordsVersion_data();
    void applicationStartRecordsVersion();
    void pacedLineTakesTheLineTime();
    void defaultInstrumentOpensWithDefaultVectors();
};

void TestSimSession::noSyncReplyLeavesSyncUnanswered()
{
    Simulator sim;
    Faults faults;
    faults.noSyncReply = true;
    sim.setFaults(faults);
    QVERIFY(sim.start());
    Link link(sim.slavePath());
    QVERIFY(link.open());
    for (int i = 0; i < 3; ++i) {
        link.send(QByteArray(1, char(0x80)));
        QCOMPARE(link.receive(1, kNoReplyMs), QByteArray());
    }
    QCOMPARE(sim.stats().syncs, 3);
    QCOMPARE(sim.stats().frames, 0);
    sim.setFaults(Faults());
    QVERIFY(link.sync());
}

void TestSimSession::nakAfterFrames()
{
    Bench b;
    Faults faults;
    faults.nakAfterFrames = 2;
    b.sim.setFaults(faults);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());                            // frame 1
    QCOMPARE(b.link->command(0x14, 0x1080, 2).size(), 8); // frame 2
    QCOMPARE(b.link->command(0x14, 0x1080, 2), QByteArray(1, kNak));
    QCOMPARE(b.link->command(0x18, 0xFF00, 0xA506), QByteArray(1, kNak));
    QCOMPARE(b.sim.stats().massErases, 0);
    const std::vector<nvxsim::Command> log = b.sim.commandLog();
    QCOMPARE(log.size(), size_t(4));
    QVERIFY(log[1].acked && !log[2].acked && !log[3].acked);
    // Counting continues across a fault change: a higher threshold lifts it.
    faults.nakAfterFrames = 5;
    b.sim.setFaults(faults);
    QCOMPARE(b.link->command(0x14, 0x1080, 2).size(), 8);
}

void TestSimSession::corruptChecksumAfterFrames()
{
    Bench b;
    Faults faults;
    faults.corruptChecksumAfterFrames = 2;
    b.sim.setFaults(faults);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    QByteArray reply = b.link->command(0x14, 0x1000, 16);
    QVERIFY(checksum(reply.left(20)) == reply.right(2));
    reply = b.link->command(0x14, 0x1000, 16);
    QCOMPARE(reply.size(), 22);
    QVERIFY(checksum(reply.left(20)) != reply.right(2));
    QCOMPARE(reply.mid(4, 16), bytes(b.sim.read(0x1000, 16))); // only the checksum is wrong
    QCOMPARE(b.link->command(0x21, 0, 0), QByteArray(1, kAck)); // plain ACKs pass
}

void TestSimSession::silenceUntilFaultsChange()
{
    Bench b;
    Faults faults;
    faults.silenceAfterFrames = 1;
    b.sim.setFaults(faults);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    b.link->send(QByteArray(1, char(0x80)));
    QCOMPARE(b.link->receive(1, kNoReplyMs), QByteArray());
    b.link->send(frame(0x14, 0x1000, 2));
    QCOMPARE(b.link->receive(1, kNoReplyMs), QByteArray());
    // Still silent after the host reconnects.
    QVERIFY(replugged(b, 2));
    b.link->send(QByteArray(1, char(0x80)));
    QCOMPARE(b.link->receive(1, kNoReplyMs), QByteArray());
    b.sim.setFaults(Faults());
    QVERIFY(b.link->unlock());
}

void TestSimSession::replyFaultsAfterFrames_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("mute frames") << "mute";
    QTest::newRow("L2 differs from L1") << "length";
    QTest::newRow("command byte not zero") << "command";
    QTest::newRow("both header faults") << "both";
}

void TestSimSession::replyFaultsAfterFrames()
{
    QFETCH(QString, fault);
    Bench b;
    Faults faults;
    faults.muteFrameAfterFrames = fault == "mute" ? 2 : -1;
    faults.badReplyLengthAfterFrames = fault == "length" || fault == "both" ? 2 : -1;
    faults.badReplyCommandAfterFrames = fault == "command" || fault == "both" ? 2 : -1;
    b.sim.setFaults(faults);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());                                   // frame 1
    const QByteArray clean = b.link->command(0x14, 0x1080, 16);  // frame 2: before the threshold
    QCOMPARE(clean.left(4), QByteArray::fromHex("80001010"));

    QVERIFY(b.link->sync()); // the sync byte is answered whatever the fault
    b.link->send(frame(0x14, 0x1080, 16));
    const QByteArray spoilt = b.link->reply(kNoReplyMs);
    if (fault == "mute") {
        QCOMPARE(spoilt, QByteArray());
        QCOMPARE(b.link->command(0x10, 0xFFE0, 32, defaultPassword()), QByteArray()); // ACKs go unsent too
        QCOMPARE(b.sim.stats().frames, 4);
        QVERIFY(!b.sim.commandLog().back().acked);
    } else {
        const bool badLength = fault != "command", badCommand = fault != "length";
        QCOMPARE(spoilt.size(), 4 + 16 + 2);
        QCOMPARE(spoilt[1] != char(0), badCommand);
        QCOMPARE(spoilt[2], char(16));
        QCOMPARE(spoilt[3] != char(16), badLength);
        QCOMPARE(spoilt.mid(4, 16), clean.mid(4, 16)); // the data and
        QCOMPARE(checksum(spoilt.left(20)), spoilt.right(2)); // its checksum are right
        QCOMPARE(b.link->command(0x21, 0, 0), QByteArray(1, kAck)); // plain ACKs pass
    }
    b.sim.setFaults(Faults());
    QCOMPARE(b.link->command(0x14, 0x1080, 16), clean);
}

void TestSimSession::hangUpUntilReplugged()
{
    Bench b;
    Faults faults;
    faults.hangUpAfterFrames = 2;
    b.sim.setFaults(faults);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    QCOMPARE(b.link->command(0x12, 0x0300, 2, QByteArray::fromHex("BEEF")), QByteArray(1, kAck));
    for (int i = 0; i < 2; ++i) {
        b.link->send(QByteArray(1, char(0x80)));
        QCOMPARE(b.link->receive(1, kNoReplyMs), QByteArray());
    }
    QCOMPARE(b.sim.stats().frames, 2);
    QVERIFY(replugged(b, 2));
    QCOMPARE(b.sim.faults().hangUpAfterFrames, -1);
    QVERIFY(b.sim.locked());
    QVERIFY(b.link->unlock());
    QCOMPARE(b.link->command(0x14, 0x0300, 2).mid(4, 2), QByteArray::fromHex("BEEF"));
}

void TestSimSession::everySessionStartsLocked()
{
    Bench b;
    QVERIFY(b.up());
    for (int session = 1; session <= 3; ++session) {
        if (session > 1)
            QVERIFY(replugged(b, session));
        QTRY_VERIFY(b.sim.hostConnected());
        QCOMPARE(b.link->command(0x14, 0x1000, 2), QByteArray(1, kNak));
        QVERIFY(b.link->unlock());
        QCOMPARE(b.link->command(0x21, 0, 1), QByteArray(1, kAck)); // the offset goes with the session
    }
    QCOMPARE(b.link->command(0x14, 0x1080, 2).mid(4, 1), QByteArray(1, char(0xFF))); // page 0x11080
    QVERIFY(replugged(b, 4));
    QVERIFY(b.link->unlock());
    QCOMPARE(b.link->command(0x14, 0x1080, 2).mid(4, 1), QByteArray(1, char(0xAA)));
}

void TestSimSession::applicationStartRecordsVersion_data()
{
    QTest::addColumn<QByteArray>("versionBytes");
    QTest::addColumn<bool>("eraseResetVector");
    QTest::addColumn<bool>("recordsVersion");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("erased version bytes") << QByteArray::fromHex("FFFF") << false << true << QByteArray::fromHex("030C");
    QTest::newRow("version present") << QByteArray::fromHex("0201") << false << true << QByteArray::fromHex("0201");
    QTest::newRow("one byte programmed") << QByteArray::fromHex("FF00") << false << true << QByteArray::fromHex("FF00");
    QTest::newRow("no application") << QByteArray::fromHex("FFFF") << true << true << QByteArray::fromHex("FFFF");
    QTest::newRow("application does not record") << QByteArray::fromHex("FFFF") << false << false << QByteArray::fromHex("FFFF");
}

void TestSimSession::applicationStartRecordsVersion()
{
    QFETCH(QByteArray, versionBytes);
    QFETCH(bool, eraseResetVector);
    QFETCH(bool, recordsVersion);
    QFETCH(QByteArray, expected);
    Config config;
    config.applicationRecordsVersion = recordsVersion;
    Bench b(config, 3, 12);
    b.sim.write(0x1090, {uint8_t(versionBytes[0]), uint8_t(versionBytes[1])});
    if (eraseResetVector)
        b.sim.write(0xFFFE, {0xFF, 0xFF});
    QVERIFY(b.up());
    QTRY_VERIFY(b.sim.hostConnected());
    QCOMPARE(bytes(b.sim.read(0x1090, 2)), versionBytes); // nothing runs while the loader is held
    b.link->close();
    QTRY_VERIFY(!b.sim.hostConnected());
    QCOMPARE(bytes(b.sim.read(0x1090, 2)), expected);
}

void TestSimSession::pacedLineTakesTheLineTime()
{
    Config config;
    config.baud = 9600;
    Bench b(config);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());

    auto readInfo = [&](double &lineMs) {
        const long long before = b.sim.stats().bytesIn + b.sim.stats().bytesOut;
        QElapsedTimer timer;
        timer.start();
        const QByteArray first = b.link->command(0x14, 0x1000, 240);
        const QByteArray second = b.link->command(0x14, 0x10F0, 16);
        const qint64 elapsed = timer.elapsed();
        if (first.size() != 246 || second.size() != 22)
            return qint64(-1);
        const long long wire = b.sim.stats().bytesIn + b.sim.stats().bytesOut - before;
        lineMs = wire * 11 * 1000.0 / b.sim.lineBaud();
        return elapsed;
    };

    double lineMs = 0;
    const qint64 slow = readInfo(lineMs);
    qInfo("256-byte read at 9600 baud: %lld ms (line time %.0f ms)", slow, lineMs);
    QVERIFY(slow >= 0);
    QVERIFY(slow >= 0.7 * lineMs);

    QCOMPARE(b.link->command(0x20, 0x87E0, 2), QByteArray(1, kAck));
    QCOMPARE(b.sim.lineBaud(), 38400);
    const qint64 fast = readInfo(lineMs);
    qInfo("256-byte read at 38400 baud: %lld ms (line time %.0f ms)", fast, lineMs);
    QVERIFY(fast >= 0);
    QVERIFY(fast >= 0.7 * lineMs);
}

void TestSimSession::defaultInstrumentOpensWithDefaultVectors()
{
    Bench b(Config(), 2, 7);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock(defaultPassword()));
    const QByteArray info = b.link->command(0x14, 0x1000, 240).mid(4, 240)
        + b.link->command(0x14, 0x10F0, 16).mid(4, 16);
    QCOMPARE(info.size(), 256);
    QCOMPARE(quint8(info[0x80]), quint8(0xAA));
    QCOMPARE(info.mid(0x90, 2), QByteArray::fromHex("0207"));
    QVERIFY(info.mid(0xC0, 64).count(char(0xFF)) < 48); // calibration data in segment A
    QCOMPARE(b.link->command(0x14, 0xFFDC, 4).mid(4, 4), QByteArray::fromHex("0207FFFF"));
    QCOMPARE(b.link->command(0x14, 0xFFFE, 2).mid(4, 2), QByteArray::fromHex("0011"));
    QVERIFY(b.link->command(0x1C, 0x1100, 2) == QByteArray(1, kNak)); // an application is there
}

QTEST_GUILESS_MAIN(TestSimSession)
#include "tst_simsession.moc"
