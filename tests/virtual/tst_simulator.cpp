// The virtual instrument driven through a real QSerialPort on its pseudo-terminal.
#include "simlink.h"

#include <QtTest>

using namespace simtest;
using nvxsim::Config;
using nvxsim::Faults;

namespace {

QByteArray dataOf(const QByteArray &reply)
{
    return reply.mid(4, reply.size() - 6);
}

bool checksumOk(const QByteArray &reply)
{
    return reply.size() >= 6 && checksum(reply.left(reply.size() - 2)) == reply.right(2);
}

} // namespace

class TestSimulator : public QObject {
    Q_OBJECT

private slots:
    void syncIsAnsweredAfterGarbage();
    void massEraseFrameErasesMainAndInformationMemory();
    void malformedFramesAreRefused_data();
    void malformedFramesAreRefused();
    void halfFrameIsAbandoned();
    void frameWrittenByteByByteIsServed();
    void lockedLoaderRefusesCommandsUntilPassword_data();
    void lockedLoaderRefusesCommandsUntilPassword();
    void wrongPasswordIsRefused();
    void flashWritesOnlyClearBits();
    void writesOutsideRamAndFlashAreRefused_data();
    void writesOutsideRamAndFlashAreRefused();
    void readReturnsChecksummedDataFrame();
    void identityBlockReportsConfiguration();
    void eraseCheck_data();
    void eraseCheck();
    void segmentErase_data();
    void segmentErase();
    void memoryOffsetSelectsUpperPages();
    void oldLoaderNeedsPatchEntryBeforeFlashAccess_data();
    void oldLoaderNeedsPatchEntryBeforeFlashAccess();
    void loadPcIntoLoaderOrRamRelocks_data();
    void loadPcIntoLoaderOrRamRelocks();
    void baudChange_data();
    void baudChange();
    void replacementLoaderStartsByModel_data();
    void replacementLoaderStartsByModel();
    void romRestartAfterReplacementLoader();
    void loaderImageOfEarlierSessionDoesNotStart();
};

void TestSimulator::syncIsAnsweredAfterGarbage()
{
    Bench b;
    QVERIFY(b.up());
    b.link->send(QByteArray::fromHex("12345690"));
    QCOMPARE(b.link->receive(1, 100), QByteArray());
    QVERIFY(b.link->sync());
    QCOMPARE(b.sim.stats().syncs, 1);
    QCOMPARE(b.sim.stats().frames, 0);
}

void TestSimulator::massEraseFrameErasesMainAndInformationMemory()
{
    Bench b;
    QVERIFY(b.up());
    b.sim.write(0x0200, {0x12, 0x34});
    const std::vector<uint8_t> identity = b.sim.read(0x0FF0, 14);
    QVERIFY(b.link->sync());
    b.link->send(QByteArray::fromHex("80180404" "00FF06A5" "7DB9")); // allowed while locked
    QCOMPARE(b.link->reply(), QByteArray(1, kAck));
    QCOMPARE(b.sim.read(0x1000, 0x100), std::vector<uint8_t>(0x100, 0xFF));
    QCOMPARE(b.sim.read(0x1100, 0x40), std::vector<uint8_t>(0x40, 0xFF));
    QCOMPARE(b.sim.read(0xFFDC, 36), std::vector<uint8_t>(36, 0xFF));
    QCOMPARE(b.sim.read(0x0200, 2), (std::vector<uint8_t>{0x12, 0x34}));
    QCOMPARE(b.sim.read(0x0FF0, 14), identity);
    QCOMPARE(b.sim.stats().massErases, 1);
    // The erased device's password is all 0xFF.
    QVERIFY(b.link->unlock(QByteArray(32, char(0xFF))));
}

void TestSimulator::malformedFramesAreRefused_data()
{
    QTest::addColumn<QByteArray>("request");
    QByteArray badChecksum = frame(0x18, 0xFF00, 0xA506);
    badChecksum[badChecksum.size() - 1] = char(badChecksum.back() ^ 0x01);
    QTest::newRow("bad checksum") << badChecksum;
    QTest::newRow("L1 differs from L2") << QByteArray::fromHex("80180406" "00FF06A5" "7DB9");
    QTest::newRow("odd L1") << QByteArray::fromHex("80180505" "00FF06A5" "0000");
    QTest::newRow("L1 above 250") << QByteArray::fromHex("8018FCFC" "00FF06A5");
    QTest::newRow("L1 below the address and length") << QByteArray::fromHex("80180202" "00FF");
    QTest::newRow("wrong mass-erase code") << frame(0x18, 0xFF00, 0xA504);
    QTest::newRow("unknown command") << frame(0x2E, 0, 0);
}

void TestSimulator::malformedFramesAreRefused()
{
    QFETCH(QByteArray, request);
    Bench b;
    QVERIFY(b.up());
    QVERIFY(b.link->sync());
    b.link->send(request);
    QCOMPARE(b.link->reply(), QByteArray(1, kNak));
    QCOMPARE(b.sim.stats().massErases, 0);
    QCOMPARE(b.sim.read(0x1080, 1), std::vector<uint8_t>{0xAA});
    // Once the line has rested, the loader is back in step.
    QTest::qWait(150);
    QVERIFY(b.link->sync());
}

void TestSimulator::halfFrameIsAbandoned()
{
    Bench b;
    QVERIFY(b.up());
    QVERIFY(b.link->sync());
    b.link->send(frame(0x10, 0xFFE0, 32, defaultPassword()).left(9));
    QCOMPARE(b.link->receive(1, 100), QByteArray());
    QTest::qWait(100);
    QVERIFY(b.link->unlock());
    QCOMPARE(b.sim.stats().frames, 1);
}

void TestSimulator::frameWrittenByteByByteIsServed()
{
    Bench b;
    QVERIFY(b.up());
    QVERIFY(b.link->sync());
    const QByteArray request = frame(0x10, 0xFFE0, 32, defaultPassword());
    for (char c : request) {
        b.link->send(QByteArray(1, c));
        QThread::msleep(1);
    }
    QCOMPARE(b.link->reply(), QByteArray(1, kAck));
    QVERIFY(!b.sim.locked());
}

void TestSimulator::lockedLoaderRefusesCommandsUntilPassword_data()
{
    QTest::addColumn<quint8>("cmd");
    QTest::addColumn<quint16>("address");
    QTest::addColumn<quint16>("length");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("dataFrame");
    QTest::newRow("read") << quint8(0x14) << quint16(0x1000) << quint16(16) << QByteArray() << true;
    QTest::newRow("write RAM") << quint8(0x12) << quint16(0x0300) << quint16(2) << QByteArray("\x01\x02", 2) << false;
    QTest::newRow("erase segment") << quint8(0x16) << quint16(0x2000) << quint16(0xA502) << QByteArray() << false;
    QTest::newRow("erase check") << quint8(0x1C) << quint16(0x0300) << quint16(0) << QByteArray() << false;
    QTest::newRow("load PC") << quint8(0x1A) << quint16(0x1100) << quint16(0) << QByteArray() << false;
    QTest::newRow("change baud") << quint8(0x20) << quint16(0x8580) << quint16(0) << QByteArray() << false;
    QTest::newRow("set offset") << quint8(0x21) << quint16(0) << quint16(0) << QByteArray() << false;
}

void TestSimulator::lockedLoaderRefusesCommandsUntilPassword()
{
    QFETCH(quint8, cmd);
    QFETCH(quint16, address);
    QFETCH(quint16, length);
    QFETCH(QByteArray, data);
    QFETCH(bool, dataFrame);
    Bench b;
    QVERIFY(b.up());
    QVERIFY(b.sim.locked());
    QCOMPARE(b.link->command(cmd, address, length, data), QByteArray(1, kNak));
    QVERIFY(b.link->unlock());
    const QByteArray reply = b.link->command(cmd, address, length, data);
    if (dataFrame) {
        QCOMPARE(reply.size(), 6 + length);
        QVERIFY(checksumOk(reply));
    } else {
        QCOMPARE(reply, QByteArray(1, kAck));
    }
    const std::vector<nvxsim::Command> log = b.sim.commandLog();
    QCOMPARE(log.size(), size_t(3));
    QCOMPARE(log[0].cmd, cmd);
    QVERIFY(!log[0].acked);
    QVERIFY(log[1].acked);
    QCOMPARE(log[2].address, uint32_t(address));
    QCOMPARE(log[2].length, length);
}

void TestSimulator::wrongPasswordIsRefused()
{
    Bench b;
    QVERIFY(b.up());
    QByteArray wrong = defaultPassword();
    wrong[31] = char(0x12);
    QVERIFY(!b.link->unlock(wrong));
    QVERIFY(!b.link->unlock(QByteArray(32, char(0xFF))));
    QVERIFY(b.sim.locked());
    QCOMPARE(b.link->command(0x14, 0x1000, 2), QByteArray(1, kNak));
    QVERIFY(b.link->unlock());
    QVERIFY(!b.sim.locked());
}

void TestSimulator::flashWritesOnlyClearBits()
{
    Bench b;
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    QCOMPARE(b.link->command(0x12, 0x2000, 2, QByteArray::fromHex("F00F")), QByteArray(1, kAck));
    QCOMPARE(b.link->command(0x12, 0x2000, 2, QByteArray::fromHex("3C3C")), QByteArray(1, kAck));
    QCOMPARE(dataOf(b.link->command(0x14, 0x2000, 2)), QByteArray::fromHex("300C"));
    // Information memory follows the same rule; RAM takes what is written.
    QCOMPARE(b.link->command(0x12, 0x1080, 2, QByteArray::fromHex("0F55")), QByteArray(1, kAck));
    QCOMPARE(bytes(b.sim.read(0x1080, 2)), QByteArray::fromHex("0A55"));
    QCOMPARE(b.link->command(0x12, 0x0300, 2, QByteArray::fromHex("F00F")), QByteArray(1, kAck));
    QCOMPARE(b.link->command(0x12, 0x0300, 2, QByteArray::fromHex("0FF0")), QByteArray(1, kAck));
    QCOMPARE(bytes(b.sim.read(0x0300, 2)), QByteArray::fromHex("0FF0"));
}

void TestSimulator::writesOutsideRamAndFlashAreRefused_data()
{
    QTest::addColumn<quint16>("address");
    QTest::addColumn<quint16>("length");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("peripherals") << quint16(0x0120) << quint16(2) << QByteArray::fromHex("805A");
    QTest::newRow("loader ROM") << quint16(0x0C00) << quint16(2) << QByteArray::fromHex("0000");
    QTest::newRow("identity block") << quint16(0x0FF0) << quint16(2) << QByteArray::fromHex("0000");
    QTest::newRow("RAM end into the gap") << quint16(0x09FE) << quint16(4) << QByteArray::fromHex("00000000");
    QTest::newRow("length field above the data") << quint16(0x2000) << quint16(4) << QByteArray::fromHex("0000");
}

void TestSimulator::writesOutsideRamAndFlashAreRefused()
{
    QFETCH(quint16, address);
    QFETCH(quint16, length);
    QFETCH(QByteArray, data);
    Bench b;
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    const std::vector<uint8_t> before = b.sim.read(address, data.size());
    QCOMPARE(b.link->command(0x12, address, length, data), QByteArray(1, kNak));
    QCOMPARE(b.sim.read(address, data.size()), before);
}

void TestSimulator::readReturnsChecksummedDataFrame()
{
    Bench b;
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    const QByteArray reply = b.link->command(0x14, 0x1000, 240);
    QCOMPARE(reply.left(4), QByteArray::fromHex("8000F0F0"));
    QCOMPARE(dataOf(reply), bytes(b.sim.read(0x1000, 240)));
    QVERIFY(checksumOk(reply));
    QCOMPARE(quint8(dataOf(reply)[0x80]), quint8(0xAA));
    QCOMPARE(b.link->command(0x14, 0x1000, 251), QByteArray(1, kNak));
}

void TestSimulator::identityBlockReportsConfiguration()
{
    Config config;
    config.family[0] = 0xF2;
    config.family[1] = 0x27;
    config.process[0] = 0x01;
    config.process[1] = 0x02;
    config.bslVersion = 0x0213;
    Bench b(config);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    const QByteArray id = dataOf(b.link->command(0x14, 0x0FF0, 14));
    QCOMPARE(id.size(), 14);
    QCOMPARE(id.left(4), QByteArray::fromHex("F2270102"));
    QCOMPARE(id.mid(10, 2), QByteArray::fromHex("0213"));
}

void TestSimulator::eraseCheck_data()
{
    QTest::addColumn<quint16>("address");
    QTest::addColumn<quint16>("length");
    QTest::addColumn<bool>("erased");
    QTest::newRow("erased flash") << quint16(0x2000) << quint16(0x200) << true;
    QTest::newRow("programmed byte at the end") << quint16(0x2000) << quint16(0x301) << false;
    QTest::newRow("programmed byte at the start") << quint16(0x2300) << quint16(2) << false;
    QTest::newRow("ends just before it") << quint16(0x2200) << quint16(0x100) << true;
    QTest::newRow("zero length") << quint16(0x1080) << quint16(0) << true;
}

void TestSimulator::eraseCheck()
{
    QFETCH(quint16, address);
    QFETCH(quint16, length);
    QFETCH(bool, erased);
    Bench b;
    QVERIFY(b.up());
    b.sim.write(0x2300, {0x7F});
    QVERIFY(b.link->unlock());
    QCOMPARE(b.link->command(0x1C, address, length), QByteArray(1, erased ? kAck : kNak));
}

void TestSimulator::segmentErase_data()
{
    QTest::addColumn<quint16>("address");
    QTest::addColumn<quint16>("key");
    QTest::addColumn<int>("first"); // -1: nothing erased
    QTest::addColumn<int>("last");
    QTest::newRow("information segment B") << quint16(0x1085) << quint16(0xA502) << 0x1080 << 0x10BF;
    QTest::newRow("information segment A") << quint16(0x10FE) << quint16(0xA502) << 0x10C0 << 0x10FF;
    QTest::newRow("first main segment") << quint16(0x1100) << quint16(0xA502) << 0x1100 << 0x11FF;
    QTest::newRow("main segment") << quint16(0x1234) << quint16(0xA502) << 0x1200 << 0x13FF;
    QTest::newRow("vector segment") << quint16(0xFFE0) << quint16(0xA502) << 0xFE00 << 0xFFFF;
    QTest::newRow("wrong key") << quint16(0x1234) << quint16(0xA506) << -1 << -1;
    QTest::newRow("RAM") << quint16(0x0300) << quint16(0xA502) << -1 << -1;
}

void TestSimulator::segmentErase()
{
    QFETCH(quint16, address);
    QFETCH(quint16, key);
    QFETCH(int, first);
    QFETCH(int, last);
    Bench b;
    QVERIFY(b.up());
    // Every byte programmed, so each erased byte shows.
    b.sim.write(0x0300, std::vector<uint8_t>(16, 0x00));
    b.sim.write(0x1000, std::vector<uint8_t>(0xF000, 0x00));
    QVERIFY(b.link->unlock(QByteArray(32, char(0x00))));
    QCOMPARE(b.link->command(0x16, address, key), QByteArray(1, first < 0 ? kNak : kAck));
    const std::vector<uint8_t> memory = b.sim.read(0x1000, 0xF000);
    for (int a = 0x1000; a <= 0xFFFF; ++a) {
        const uint8_t expected = (a >= first && a <= last) ? 0xFF : 0x00;
        if (memory[size_t(a - 0x1000)] != expected)
            QFAIL(qPrintable(QStringLiteral("byte at %1 is wrong").arg(a, 4, 16)));
    }
    QCOMPARE(b.sim.read(0x0300, 1), std::vector<uint8_t>{0x00});
}

void TestSimulator::memoryOffsetSelectsUpperPages()
{
    Bench b;
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    QCOMPARE(b.link->command(0x21, 0, 1), QByteArray(1, kAck));
    QCOMPARE(b.link->command(0x12, 0x2000, 2, QByteArray::fromHex("1234")), QByteArray(1, kAck));
    QCOMPARE(dataOf(b.link->command(0x14, 0x2000, 2)), QByteArray::fromHex("1234"));
    QCOMPARE(bytes(b.sim.read(0x12000, 2)), QByteArray::fromHex("1234"));
    QCOMPARE(bytes(b.sim.read(0x2000, 2)), QByteArray::fromHex("FFFF"));
    QCOMPARE(b.link->command(0x21, 0, 0), QByteArray(1, kAck));
    QCOMPARE(dataOf(b.link->command(0x14, 0x2000, 2)), QByteArray::fromHex("FFFF"));
    QCOMPARE(b.link->command(0x21, 0, 0x10), QByteArray(1, kNak));
    // The mass erase reaches the upper pages too.
    QCOMPARE(b.link->command(0x18, 0xFF00, 0xA506), QByteArray(1, kAck));
    QCOMPARE(bytes(b.sim.read(0x12000, 2)), QByteArray::fromHex("FFFF"));
}

void TestSimulator::oldLoaderNeedsPatchEntryBeforeFlashAccess_data()
{
    QTest::addColumn<quint16>("version");
    QTest::addColumn<bool>("needsPatch");
    QTest::newRow("1.10") << quint16(0x0110) << true;
    QTest::newRow("1.00") << quint16(0x0100) << true;
    QTest::newRow("1.11") << quint16(0x0111) << false;
}

void TestSimulator::oldLoaderNeedsPatchEntryBeforeFlashAccess()
{
    QFETCH(quint16, version);
    QFETCH(bool, needsPatch);
    Config config;
    config.bslVersion = version;
    Bench b(config);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    const QByteArray unpatched(1, needsPatch ? kNak : kAck);
    QCOMPARE(b.link->command(0x12, 0x2000, 2, QByteArray::fromHex("0102")), unpatched);
    QCOMPARE(b.link->command(0x1C, 0x3000, 2), unpatched);
    QCOMPARE(b.link->command(0x12, 0x0220, 2, QByteArray::fromHex("3041")), QByteArray(1, kAck));
    if (!needsPatch)
        return;
    for (int i = 0; i < 2; ++i) { // the entry serves exactly the next flash access
        QCOMPARE(b.link->command(0x1A, 0x0220, 0), QByteArray(1, kAck));
        QCOMPARE(b.link->command(0x12, 0x2000 + 2 * i, 2, QByteArray::fromHex("0102")), QByteArray(1, kAck));
        QCOMPARE(b.link->command(0x12, 0x2010, 2, QByteArray::fromHex("0102")), QByteArray(1, kNak));
    }
    QCOMPARE(b.link->command(0x1A, 0x0220, 0), QByteArray(1, kAck));
    QCOMPARE(b.link->command(0x1C, 0x3000, 2), QByteArray(1, kAck));
    QCOMPARE(bytes(b.sim.read(0x2000, 4)), QByteArray::fromHex("01020102"));
    QVERIFY(!b.sim.locked());
}

void TestSimulator::loadPcIntoLoaderOrRamRelocks_data()
{
    QTest::addColumn<quint16>("target");
    QTest::addColumn<bool>("relocks");
    QTest::newRow("loader restart 0x0C22") << quint16(0x0C22) << true;
    QTest::newRow("replacement loader in RAM") << quint16(0x0300) << true;
    QTest::newRow("patch address on a new loader") << quint16(0x0220) << true;
    QTest::newRow("application") << quint16(0x1100) << false;
}

void TestSimulator::loadPcIntoLoaderOrRamRelocks()
{
    QFETCH(quint16, target);
    QFETCH(bool, relocks);
    Bench b;
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    QCOMPARE(b.link->command(0x1A, target, 0), QByteArray(1, kAck));
    QCOMPARE(b.sim.locked(), relocks);
    QCOMPARE(b.link->command(0x14, 0x1000, 2).size(), relocks ? 1 : 8);
    QVERIFY(b.link->unlock());
}

void TestSimulator::baudChange_data()
{
    QTest::addColumn<quint8>("family");
    QTest::addColumn<int>("paced");
    QTest::addColumn<quint16>("clockWord");
    QTest::addColumn<quint16>("mode");
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<int>("newRate"); // 0: refused
    QTest::newRow("F1 19200") << quint8(0xF1) << 9600 << quint16(0x86E0) << quint16(1) << false << 19200;
    QTest::newRow("F1 38400") << quint8(0xF1) << 9600 << quint16(0x87E0) << quint16(2) << false << 38400;
    QTest::newRow("F2 19200") << quint8(0xF2) << 9600 << quint16(0x8B80) << quint16(1) << false << 19200;
    QTest::newRow("F4 9600 from 19200") << quint8(0xF4) << 19200 << quint16(0x9800) << quint16(0) << false << 9600;
    QTest::newRow("other family, any word") << quint8(0x13) << 9600 << quint16(0x1234) << quint16(2) << false << 38400;
    QTest::newRow("clock word of another rate") << quint8(0xF1) << 9600 << quint16(0x8580) << quint16(1) << false << 0;
    QTest::newRow("mode 3") << quint8(0x13) << 9600 << quint16(0x87E0) << quint16(3) << false << 0;
    QTest::newRow("refused by fault") << quint8(0xF1) << 9600 << quint16(0x86E0) << quint16(1) << true << 0;
    QTest::newRow("unpaced line stays unpaced") << quint8(0xF1) << 0 << quint16(0x86E0) << quint16(1) << false << 0;
}

void TestSimulator::baudChange()
{
    QFETCH(quint8, family);
    QFETCH(int, paced);
    QFETCH(quint16, clockWord);
    QFETCH(quint16, mode);
    QFETCH(bool, refuse);
    QFETCH(int, newRate);
    Config config;
    config.family[0] = family;
    config.baud = paced;
    Bench b(config);
    Faults faults;
    faults.refuseBaudChange = refuse;
    b.sim.setFaults(faults);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    const bool accepted = newRate > 0 || (paced == 0 && !refuse);
    QCOMPARE(b.link->command(0x20, clockWord, mode), QByteArray(1, accepted ? kAck : kNak));
    QCOMPARE(b.sim.lineBaud(), newRate > 0 ? newRate : paced);
    // A new session starts at the configured rate again.
    b.link->close();
    QTRY_VERIFY(!b.sim.hostConnected());
    QVERIFY(b.link->open());
    QTRY_COMPARE(b.sim.stats().sessions, 2);
    QCOMPARE(b.sim.lineBaud(), paced);
}


namespace {

// Head of a loader image: entry word, model word, then some code.
QByteArray loaderImage(quint16 entry, quint16 model)
{
    QByteArray image;
    image += char(entry & 0xFF);
    image += char(entry >> 8);
    image += char(model & 0xFF);
    image += char(model >> 8);
    image += QByteArray::fromHex("3140000A" "B0120C0C" "3041");
    return image;
}

} // namespace

void TestSimulator::replacementLoaderStartsByModel_data()
{
    QTest::addColumn<quint16>("version");
    QTest::addColumn<quint16>("model");
    QTest::addColumn<quint16>("jump");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("locked");
    QTest::newRow("small model keeps the unlock") << quint16(0x0161) << quint16(0) << quint16(0x0304) << true << false;
    QTest::newRow("large model wants the password") << quint16(0x0161) << quint16(1) << quint16(0x0304) << true << true;
    QTest::newRow("large model, high byte only") << quint16(0x0161) << quint16(0x0100) << quint16(0x0304) << true << true;
    QTest::newRow("small model on an old loader") << quint16(0x0110) << quint16(0) << quint16(0x0304) << true << false;
    QTest::newRow("large model on an old loader") << quint16(0x0110) << quint16(2) << quint16(0x0304) << true << true;
    QTest::newRow("jump beside the entry") << quint16(0x0110) << quint16(0) << quint16(0x0306) << false << true;
    QTest::newRow("jump to the head itself") << quint16(0x0110) << quint16(0) << quint16(0x0300) << false << true;
}

void TestSimulator::replacementLoaderStartsByModel()
{
    QFETCH(quint16, version);
    QFETCH(quint16, model);
    QFETCH(quint16, jump);
    QFETCH(bool, started);
    QFETCH(bool, locked);
    Config config;
    config.bslVersion = version;
    Bench b(config);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    QCOMPARE(b.link->command(0x12, 0x0300, 14, loaderImage(0x0304, model)), QByteArray(1, kAck));
    QCOMPARE(b.link->command(0x1A, jump, 0), QByteArray(1, kAck));
    QCOMPARE(b.sim.locked(), locked);
    QCOMPARE(b.link->command(0x14, 0x0FF0, 14).size(), locked ? 1 : 20);
    if (locked)
        QVERIFY(b.link->unlock());
    // The identity block stays readable under the new loader.
    const QByteArray id = dataOf(b.link->command(0x14, 0x0FF0, 14));
    QCOMPARE(quint16(quint8(id[10]) << 8 | quint8(id[11])), version);
    // A started loader writes flash without the old loader's patch.
    const bool flashWrites = started || version > 0x0110;
    QCOMPARE(b.link->command(0x12, 0x8000, 2, QByteArray::fromHex("1234")), QByteArray(1, flashWrites ? kAck : kNak));
    const std::vector<uint8_t> expected = flashWrites ? std::vector<uint8_t>{0x12, 0x34} : std::vector<uint8_t>{0xFF, 0xFF};
    QCOMPARE(b.sim.read(0x8000, 2), expected);
}

void TestSimulator::romRestartAfterReplacementLoader()
{
    Config config;
    config.bslVersion = 0x0110;
    Bench b(config);
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    QCOMPARE(b.link->command(0x12, 0x0300, 14, loaderImage(0x0304, 0)), QByteArray(1, kAck));
    QCOMPARE(b.link->command(0x1A, 0x0304, 0), QByteArray(1, kAck));
    QCOMPARE(b.link->command(0x1C, 0x8000, 0x100), QByteArray(1, kAck));
    // Back in the ROM loader: locked, and flash needs the patch entry again.
    QCOMPARE(b.link->command(0x1A, 0x0C22, 0), QByteArray(1, kAck));
    QVERIFY(b.sim.locked());
    QVERIFY(b.link->unlock());
    QCOMPARE(b.link->command(0x1C, 0x8000, 0x100), QByteArray(1, kNak));
    QCOMPARE(b.link->command(0x12, 0x8000, 2, QByteArray::fromHex("1234")), QByteArray(1, kNak));
    QCOMPARE(b.link->command(0x1A, 0x0220, 0), QByteArray(1, kAck));
    QCOMPARE(b.link->command(0x12, 0x8000, 2, QByteArray::fromHex("1234")), QByteArray(1, kAck));
    // The image is still in RAM: jumping to it starts the loader again.
    QCOMPARE(b.link->command(0x1A, 0x0304, 0), QByteArray(1, kAck));
    QVERIFY(!b.sim.locked());
    QCOMPARE(b.link->command(0x12, 0x8002, 2, QByteArray::fromHex("5678")), QByteArray(1, kAck));
}

void TestSimulator::loaderImageOfEarlierSessionDoesNotStart()
{
    Bench b;
    QVERIFY(b.up());
    QVERIFY(b.link->unlock());
    QCOMPARE(b.link->command(0x12, 0x0300, 14, loaderImage(0x0304, 0)), QByteArray(1, kAck));
    b.link->close();
    QTRY_VERIFY(!b.sim.hostConnected());
    QVERIFY(b.link->open());
    QTRY_COMPARE(b.sim.stats().sessions, 2);
    QVERIFY(b.link->unlock());
    // The entry sequence reset the chip: what RAM holds is no loader the host put there.
    QCOMPARE(b.link->command(0x1A, 0x0304, 0), QByteArray(1, kAck));
    QVERIFY(b.sim.locked());
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
