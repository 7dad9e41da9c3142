// Faults, sessions, application start and line pacing of the virtual instrument.
#include "simlink.h"

#include <QtTest>

#include <memory>

using namespace simtest;
using nvxsim::Config;
using nvxsim::Faults;
using nvxsim::Simulator;

namespace {

constexpr int kNoReplyMs = 150; // long enough for any unpaced reply to show

bool replugged(Simulator &sim, Link &link, int sessions)
{
    link.close();
    if (!QTest::qWaitFor([&] { return !sim.hostConnected(); }, 2000))
        return false;
    return link.open() && QTest::qWaitFor([&] { return sim.stats().sessions == sessions; }, 2000);
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
    Simulator sim;
    nvxsim::loadDefaultInstrument(sim);
    Faults faults;
    faults.nakAfterFrames = 2;
    sim.setFaults(faults);
    QVERIFY(sim.start());
    Link link(sim.slavePath());
    QVERIFY(link.open());
    QVERIFY(link.unlock());                               // frame 1
    QCOMPARE(link.command(0x14, 0x1080, 2).size(), 8);    // frame 2
    QCOMPARE(link.command(0x14, 0x1080, 2), QByteArray(1, kNak));
    QCOMPARE(link.command(0x18, 0xFF00, 0xA506), QByteArray(1, kNak));
    QCOMPARE(sim.stats().massErases, 0);
    const std::vector<nvxsim::Command> log = sim.commandLog();
    QCOMPARE(log.size(), size_t(4));
    QVERIFY(log[1].acked && !log[2].acked && !log[3].acked);
    // Counting continues across a fault change: a higher threshold lifts it.
    faults.nakAfterFrames = 5;
    sim.setFaults(faults);
    QCOMPARE(link.command(0x14, 0x1080, 2).size(), 8);
}

void TestSimSession::corruptChecksumAfterFrames()
{
    Simulator sim;
    nvxsim::loadDefaultInstrument(sim);
    Faults faults;
    faults.corruptChecksumAfterFrames = 2;
    sim.setFaults(faults);
    QVERIFY(sim.start());
    Link link(sim.slavePath());
    QVERIFY(link.open());
    QVERIFY(link.unlock());
    QByteArray reply = link.command(0x14, 0x1000, 16);
    QVERIFY(checksum(reply.left(20)) == reply.right(2));
    reply = link.command(0x14, 0x1000, 16);
    QCOMPARE(reply.size(), 22);
    QVERIFY(checksum(reply.left(20)) != reply.right(2));
    QCOMPARE(reply.mid(4, 16), bytes(sim.read(0x1000, 16))); // only the checksum is wrong
    QCOMPARE(link.command(0x21, 0, 0), QByteArray(1, kAck)); // plain ACKs pass
}

void TestSimSession::silenceUntilFaultsChange()
{
    Simulator sim;
    nvxsim::loadDefaultInstrument(sim);
    Faults faults;
    faults.silenceAfterFrames = 1;
    sim.setFaults(faults);
    QVERIFY(sim.start());
    Link link(sim.slavePath());
    QVERIFY(link.open());
    QVERIFY(link.unlock());
    link.send(QByteArray(1, char(0x80)));
    QCOMPARE(link.receive(1, kNoReplyMs), QByteArray());
    link.send(frame(0x14, 0x1000, 2));
    QCOMPARE(link.receive(1, kNoReplyMs), QByteArray());
    // Still silent after the host reconnects.
    QVERIFY(replugged(sim, link, 2));
    link.send(QByteArray(1, char(0x80)));
    QCOMPARE(link.receive(1, kNoReplyMs), QByteArray());
    sim.setFaults(Faults());
    QVERIFY(link.unlock());
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
    Simulator sim;
    nvxsim::loadDefaultInstrument(sim);
    Faults faults;
    faults.muteFrameAfterFrames = fault == "mute" ? 2 : -1;
    faults.badReplyLengthAfterFrames = fault == "length" || fault == "both" ? 2 : -1;
    faults.badReplyCommandAfterFrames = fault == "command" || fault == "both" ? 2 : -1;
    sim.setFaults(faults);
    QVERIFY(sim.start());
    Link link(sim.slavePath());
    QVERIFY(link.open());
    QVERIFY(link.unlock());                                         // frame 1
    const QByteArray clean = link.command(0x14, 0x1080, 16);        // frame 2: before the threshold
    QCOMPARE(clean.left(4), QByteArray::fromHex("80001010"));

    QVERIFY(link.sync()); // the sync byte is answered whatever the fault
    link.send(frame(0x14, 0x1080, 16));
    const QByteArray spoilt = link.reply(kNoReplyMs);
    if (fault == "mute") {
        QCOMPARE(spoilt, QByteArray());
        QCOMPARE(link.command(0x10, 0xFFE0, 32, defaultPassword()), QByteArray()); // ACKs go unsent too
        QCOMPARE(sim.stats().frames, 4);
        QVERIFY(!sim.commandLog().back().acked);
    } else {
        const bool badLength = fault != "command", badCommand = fault != "length";
        QCOMPARE(spoilt.size(), 4 + 16 + 2);
        QCOMPARE(spoilt[1] != char(0), badCommand);
        QCOMPARE(spoilt[2], char(16));
        QCOMPARE(spoilt[3] != char(16), badLength);
        QCOMPARE(spoilt.mid(4, 16), clean.mid(4, 16)); // the data and
        QCOMPARE(checksum(spoilt.left(20)), spoilt.right(2)); // its checksum are right
        QCOMPARE(link.command(0x21, 0, 0), QByteArray(1, kAck)); // plain ACKs pass
    }
    sim.setFaults(Faults());
    QCOMPARE(link.command(0x14, 0x1080, 16), clean);
}

void TestSimSession::hangUpUntilReplugged()
{
    Simulator sim;
    nvxsim::loadDefaultInstrument(sim);
    Faults faults;
    faults.hangUpAfterFrames = 2;
    sim.setFaults(faults);
    QVERIFY(sim.start());
    Link link(sim.slavePath());
    QVERIFY(link.open());
    QVERIFY(link.unlock());
    QCOMPARE(link.command(0x12, 0x0300, 2, QByteArray::fromHex("BEEF")), QByteArray(1, kAck));
    for (int i = 0; i < 2; ++i) {
        link.send(QByteArray(1, char(0x80)));
        QCOMPARE(link.receive(1, kNoReplyMs), QByteArray());
    }
    QCOMPARE(sim.stats().frames, 2);
    QVERIFY(replugged(sim, link, 2));
    QCOMPARE(sim.faults().hangUpAfterFrames, -1);
    QVERIFY(sim.locked());
    QVERIFY(link.unlock());
    QCOMPARE(link.command(0x14, 0x0300, 2).mid(4, 2), QByteArray::fromHex("BEEF"));
}

void TestSimSession::everySessionStartsLocked()
{
    Simulator sim;
    nvxsim::loadDefaultInstrument(sim);
    QVERIFY(sim.start());
    Link link(sim.slavePath());
    for (int session = 1; session <= 3; ++session) {
        if (session == 1)
            QVERIFY(link.open());
        else
            QVERIFY(replugged(sim, link, session));
        QTRY_VERIFY(sim.hostConnected());
        QCOMPARE(link.command(0x14, 0x1000, 2), QByteArray(1, kNak));
        QVERIFY(link.unlock());
        QCOMPARE(link.command(0x21, 0, 1), QByteArray(1, kAck)); // the offset goes with the session
    }
    QCOMPARE(link.command(0x14, 0x1080, 2).mid(4, 1), QByteArray(1, char(0xFF))); // page 0x11080
    QVERIFY(replugged(sim, link, 4));
    QVERIFY(link.unlock());
    QCOMPARE(link.command(0x14, 0x1080, 2).mid(4, 1), QByteArray(1, char(0xAA)));
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
    Simulator sim(config);
    nvxsim::loadDefaultInstrument(sim, 3, 12);
    sim.write(0x1090, {uint8_t(versionBytes[0]), uint8_t(versionBytes[1])});
    if (eraseResetVector)
        sim.write(0xFFFE, {0xFF, 0xFF});
    QVERIFY(sim.start());
    Link link(sim.slavePath());
    QVERIFY(link.open());
    QTRY_VERIFY(sim.hostConnected());
    QCOMPARE(bytes(sim.read(0x1090, 2)), versionBytes); // nothing runs while the loader is held
    link.close();
    QTRY_VERIFY(!sim.hostConnected());
    QCOMPARE(bytes(sim.read(0x1090, 2)), expected);
}

void TestSimSession::pacedLineTakesTheLineTime()
{
    Config config;
    config.baud = 9600;
    Simulator sim(config);
    nvxsim::loadDefaultInstrument(sim);
    QVERIFY(sim.start());
    Link link(sim.slavePath());
    QVERIFY(link.open());
    QVERIFY(link.unlock());

    auto readInfo = [&](double &lineMs) {
        const long long before = sim.stats().bytesIn + sim.stats().bytesOut;
        QElapsedTimer timer;
        timer.start();
        const QByteArray first = link.command(0x14, 0x1000, 240);
        const QByteArray second = link.command(0x14, 0x10F0, 16);
        const qint64 elapsed = timer.elapsed();
        if (first.size() != 246 || second.size() != 22)
            return qint64(-1);
        const long long wire = sim.stats().bytesIn + sim.stats().bytesOut - before;
        lineMs = wire * 11 * 1000.0 / sim.lineBaud();
        return elapsed;
    };

    double lineMs = 0;
    const qint64 slow = readInfo(lineMs);
    qInfo("256-byte read at 9600 baud: %lld ms (line time %.0f ms)", slow, lineMs);
    QVERIFY(slow >= 0);
    QVERIFY(slow >= 0.7 * lineMs);

    QCOMPARE(link.command(0x20, 0x87E0, 2), QByteArray(1, kAck));
    QCOMPARE(sim.lineBaud(), 38400);
    const qint64 fast = readInfo(lineMs);
    qInfo("256-byte read at 38400 baud: %lld ms (line time %.0f ms)", fast, lineMs);
    QVERIFY(fast >= 0);
    QVERIFY(fast >= 0.7 * lineMs);
}

void TestSimSession::defaultInstrumentOpensWithDefaultVectors()
{
    Simulator sim;
    nvxsim::loadDefaultInstrument(sim, 2, 7);
    QVERIFY(sim.start());
    Link link(sim.slavePath());
    QVERIFY(link.open());
    QVERIFY(link.unlock(defaultPassword()));
    const QByteArray info = link.command(0x14, 0x1000, 240).mid(4, 240)
        + link.command(0x14, 0x10F0, 16).mid(4, 16);
    QCOMPARE(info.size(), 256);
    QCOMPARE(quint8(info[0x80]), quint8(0xAA));
    QCOMPARE(info.mid(0x90, 2), QByteArray::fromHex("0207"));
    QVERIFY(info.mid(0xC0, 64).count(char(0xFF)) < 48); // calibration data in segment A
    QCOMPARE(link.command(0x14, 0xFFDC, 4).mid(4, 4), QByteArray::fromHex("0207FFFF"));
    QCOMPARE(link.command(0x14, 0xFFFE, 2).mid(4, 2), QByteArray::fromHex("0011"));
    QVERIFY(link.command(0x1C, 0x1100, 2) == QByteArray(1, kNak)); // an application is there
}

QTEST_GUILESS_MAIN(TestSimSession)
#include "tst_simsession.moc"
