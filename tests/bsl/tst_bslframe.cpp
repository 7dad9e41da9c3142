// Frame layer and serial link against a scripted target on a pseudo-terminal.

#include "enginebench.h"
#include "enginestate.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

// Every frame's words XOR to 0xFFFF once its checksum is included.
bool checksumHolds(const QByteArray &frame)
{
    uint8_t lo = 0, hi = 0;
    for (int i = 0; i < frame.size(); ++i)
        (i % 2 ? hi : lo) ^= uint8_t(frame[i]);
    return lo == 0xFF && hi == 0xFF;
}

} // namespace

class TestBslFrame : public QObject
{
    Q_OBJECT

private slots:
    void massEraseFrameChecksum();
    void oddFrameDataIsPadded();
    void wireBytes_data();
    void wireBytes();
    void replyCodes_data();
    void replyCodes();
    void missingReplyGives6();
    void silentTargetGives99AfterThreeSyncs();
    void serialLinkSettings();
    void emptyPortNameFailsSilently();
};

void TestBslFrame::massEraseFrameChecksum()
{
    const uint8_t data[] = {0x00, 0xFF, 0x06, 0xA5};
    uint8_t frame[16] = {};
    const int n = bsl::bslBuildFrame(bsl::kCmdMassErase, data, 4, frame);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(frame), n), hex("80 18 04 04 00 FF 06 A5 7D B9"));
}

void TestBslFrame::oddFrameDataIsPadded()
{
    const uint8_t data[] = {0x00, 0x10, 0x01, 0x00, 0x5A};
    uint8_t frame[16] = {};
    const int n = bsl::bslBuildFrame(bsl::kCmdWriteBlock, data, 5, frame);
    const QByteArray f(reinterpret_cast<char *>(frame), n);
    QCOMPARE(f.left(10), hex("80 12 06 06 00 10 01 00 5A FF"));
    QCOMPARE(n, 12);
    QVERIFY(checksumHolds(f));
}

void TestBslFrame::wireBytes_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("expectedFrame"); // without the checksum

    const QByteArray ack(1, char(0x90));
    QTest::newRow("write 3 at odd address") << 0x12 << 0x1001 << 3 << hex("B1 B2 B3") << ack
                                            << hex("80 12 08 08 00 10 04 00 FF B1 B2 B3");
    QTest::newRow("write 3 at even address") << 0x12 << 0x1000 << 3 << hex("B1 B2 B3") << ack
                                             << hex("80 12 08 08 00 10 04 00 B1 B2 B3 FF");
    QTest::newRow("read 5 at odd address")
        << 0x14 << 0x1001 << 5 << QByteArray() << ScriptedTarget::dataFrame(hex("01 02 03 04 05 06"))
        << hex("80 14 04 04 00 10 06 00");
    QTest::newRow("mass erase") << 0x18 << 0xFF00 << 0xA506 << QByteArray() << ack
                                << hex("80 18 04 04 00 FF 06 A5");
    QTest::newRow("password") << 0x10 << 0xFFE0 << 32 << QByteArray(32, char(0xFF)) << ack
                              << hex("80 10 24 24 E0 FF 20 00") + QByteArray(32, char(0xFF));
    QTest::newRow("load pc") << 0x1A << 0x0C22 << 0 << QByteArray() << ack << hex("80 1A 04 04 22 0C 00 00");
}

void TestBslFrame::wireBytes()
{
    QFETCH(int, command);
    QFETCH(int, address);
    QFETCH(int, length);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, expectedFrame);

    ScriptedTarget target;
    target.queueReply(reply);
    RecordingSink sink;
    bsl::EngineSession run(bsl::RunRequest(), sink);
    QCOMPARE(run.link.comOpen(target.path().c_str(), 300, 4), 0);
    uint8_t out[bsl::kFrameBufferSize + 2] = {};
    std::memcpy(out, data.constData(), size_t(data.size()));
    uint8_t in[bsl::kFrameBufferSize] = {};
    const int code = run.frames.bslTxRx(uint8_t(command), uint16_t(address), uint16_t(length), data.isEmpty() ? nullptr : out, in);
    run.link.comClose();

    QCOMPARE(code, 0);
    QCOMPARE(target.frames().size(), 1);
    const QByteArray frame = target.frames().first();
    QCOMPARE(frame.left(frame.size() - 2), expectedFrame);
    QVERIFY(checksumHolds(frame));
    if (command == 0x14)
        QCOMPARE(QByteArray(reinterpret_cast<char *>(in), 6), hex("01 02 03 04 05 06"));
}

void TestBslFrame::replyCodes_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("length"); // bytes the read asks for
    QTest::addColumn<int>("code");

    QTest::newRow("ack") << hex("90") << 0 << 0;
    QTest::newRow("ack, low nibble ignored") << hex("91") << 0 << 0;
    QTest::newRow("nak") << hex("A0") << 4 << 7;
    QTest::newRow("nak, low nibble ignored") << hex("A5") << 4 << 7;
    QTest::newRow("command failed") << hex("70") << 4 << 9;
    QTest::newRow("unexpected byte") << hex("55") << 4 << 1;
    QTest::newRow("data frame") << ScriptedTarget::dataFrame(hex("11 22 33 44")) << 4 << 0;
    QTest::newRow("L1 differs from L2") << ScriptedTarget::dataFrame(hex("11 22 33 44"), 6) << 4 << 1;
    QTest::newRow("bad checksum") << ScriptedTarget::dataFrame(hex("11 22 33 44"), -1, true) << 4 << 1;
    QTest::newRow("command byte not zero") << ScriptedTarget::dataFrame(hex("11 22 33 44"), -1, false, 0x14) << 4 << 1;
    QTest::newRow("more than 250 bytes") << ScriptedTarget::dataFrame(QByteArray(252, char(0x11))) << 4 << 1;
    QTest::newRow("frame cut short") << ScriptedTarget::dataFrame(hex("11 22 33 44")).left(6) << 4 << 1;
    // Fewer bytes than asked for would leave the rest of the block stale.
    QTest::newRow("ack instead of the bytes") << hex("90") << 4 << 1;
    QTest::newRow("data frame shorter than asked") << ScriptedTarget::dataFrame(hex("11 22")) << 4 << 1;
}

void TestBslFrame::replyCodes()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, length);
    QFETCH(int, code);

    ScriptedTarget target;
    target.queueReply(reply);
    RecordingSink sink;
    bsl::EngineSession run(bsl::RunRequest(), sink);
    QCOMPARE(run.link.comOpen(target.path().c_str(), 300, 4), 0);
    uint8_t in[bsl::kFrameBufferSize];
    std::memset(in, 0xEE, sizeof in);
    QCOMPARE(run.frames.bslTxRx(bsl::kCmdReadBlock, 0x1000, uint16_t(length), nullptr, in), code);
    const int replyLength = run.frames.bslReplyLength();
    run.link.comClose();

    if (code == 0 && reply.size() > 1) {
        QCOMPARE(replyLength, 4);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(in), 4), hex("11 22 33 44"));
    } else {
        QCOMPARE(QByteArray(reinterpret_cast<char *>(in), 4), QByteArray(4, char(0xEE))); // nothing taken
    }
    // A short frame is whole and checks out; only its length is wrong.
    if (code == 1 && uint8_t(reply[0]) == 0x80)
        QVERIFY(sink.has(replyLength == 2 ? "comRxFrame CRC OK" : "comRxFrame frame error"));
}

void TestBslFrame::missingReplyGives6()
{
    ScriptedTarget target;
    target.queueReply(QByteArray());
    RecordingSink sink;
    bsl::EngineSession run(bsl::RunRequest(), sink);
    QCOMPARE(run.link.comOpen(target.path().c_str(), 300, 4), 0);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(run.frames.bslTxRx(bsl::kCmdMassErase, 0xFF00, 0xA506, nullptr, nullptr), 6);
    const qint64 ms = timer.elapsed();
    run.link.comClose();
    QVERIFY2(ms >= 1200 && ms < 2600, QByteArray::number(ms));
}

void TestBslFrame::silentTargetGives99AfterThreeSyncs()
{
    ScriptedTarget target;
    target.setSyncReply(-1);
    RecordingSink sink;
    bsl::EngineSession run(bsl::RunRequest(), sink);
    QCOMPARE(run.link.comOpen(target.path().c_str(), 300, 4), 0);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(run.frames.bslTxRx(bsl::kCmdMassErase, 0xFF00, 0xA506, nullptr, nullptr), 99);
    const qint64 ms = timer.elapsed();
    run.link.comClose();
    QTRY_COMPARE(target.syncs(), 3);
    QVERIFY(target.frames().isEmpty());
    QCOMPARE(sink.count("bslSync write OK 0x80 "), 3);
    QVERIFY(sink.has("no ack 0x80\n"));
    QVERIFY2(ms >= 300 && ms < 1000, QByteArray::number(ms));
}

void TestBslFrame::serialLinkSettings()
{
    ScriptedTarget target;
    RecordingSink sink;
    bsl::EngineSession run(bsl::RunRequest(), sink);
    QCOMPARE(run.link.comOpen(target.path().c_str(), 300, 4), 0);
    QCOMPARE(run.link.replyTimeoutBase(), 300);
    QCOMPARE(run.link.replyTimeoutFactor(), 4);
    QCOMPARE(run.link.baudRate(), 9600);
    run.link.setBaudRate(38400);
    QCOMPARE(run.link.baudRate(), 38400);
    run.link.setBaudRate(57600);
    QCOMPARE(run.link.baudRate(), 9600);
    QCOMPARE(sink.messages.first(), QByteArray(target.path().c_str()));
    run.link.comClose();
}

void TestBslFrame::emptyPortNameFailsSilently()
{
    RecordingSink sink;
    bsl::EngineSession run(bsl::RunRequest(), sink);
    QCOMPARE(run.link.comOpen("", 300, 4), 2);
    QVERIFY(sink.messages.isEmpty());
    QCOMPARE(run.link.comOpen("/dev/nvx-no-such-port", 300, 4), 2);
}

QTEST_GUILESS_MAIN(TestBslFrame)
#include "tst_bslframe.moc"
