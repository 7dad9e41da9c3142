// The serial link with a transport in place of the port: the frame layer's
// reply decoding runs on bytes chosen by the test, without a device or waits.

#include "bslframe.h"
#include "seriallink.h"
#include "testsupport.h"

#include <QtTest>

#include <deque>

namespace {

QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

// Answers the sync byte with 0x90 and each complete frame with the next
// scripted reply; a reply may also be released after a given number of frame
// bytes, as a loader that answers early does.
class ScriptTransport : public bsl::LinkTransport
{
public:
    qint64 write(const uint8_t *bytes, qint64 count) override
    {
        for (qint64 i = 0; i < count; ++i)
            take(bytes[i]);
        return count;
    }
    qint64 read(uint8_t *bytes, qint64 count) override
    {
        qint64 n = 0;
        for (; n < count && !input.empty(); ++n) {
            bytes[n] = input.front();
            input.pop_front();
        }
        return n;
    }
    qint64 bytesAvailable() override { return qint64(input.size()); }
    bool waitForReadyRead(int) override
    {
        ++waits;
        if (trickle.empty())
            return false;
        input.push_back(trickle.front()); // one more byte per wait
        trickle.pop_front();
        return true;
    }
    void clearInput() override { input.clear(); }
    void sleep(unsigned long ms) override { slept += ms; }

    QList<QByteArray> replies; // one per frame
    QByteArray trickled; // sent a byte per wait after the next reply
    int answerAfterBytes = -1; // >= 0: release the reply after this many frame bytes
    QList<QByteArray> frames;
    std::deque<uint8_t> input;
    std::deque<uint8_t> trickle;
    int waits = 0;
    unsigned long slept = 0;

private:
    void take(uint8_t b)
    {
        if (!inFrame) {
            if (b == bsl::kBslSync) {
                input.push_back(bsl::kBslAck);
                inFrame = true;
                frame.clear();
            }
            return;
        }
        frame.append(char(b));
        const bool complete = frame.size() >= 4 && frame.size() >= uint8_t(frame[2]) + 6;
        if (complete || frame.size() == answerAfterBytes) {
            const QByteArray reply = replies.isEmpty() ? QByteArray(1, char(bsl::kBslAck)) : replies.takeFirst();
            for (char c : reply)
                input.push_back(uint8_t(c));
            for (char c : trickled)
                trickle.push_back(uint8_t(c));
            trickled.clear();
            frames.append(frame);
            inFrame = false;
            answerAfterBytes = -1;
        }
    }
    bool inFrame = false;
    QByteArray frame;
};

} // namespace

class TestLinkTransport : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void repliesDecode_data();
    void repliesDecode();
    void frameSplitOverWaitsIsWhole();
    void earlyReplyStopsTheFrame();
    void replyLargerThanTheCallersBufferIsCut();
    void lineSequencesSleepThroughTheTransport();
    void rateIsKeptAndPortClosesWithoutDevice();

private:
    ScriptTransport transport;
};

void TestLinkTransport::init()
{
    transport = ScriptTransport();
    bsl::comSetTransport(&transport);
    QCOMPARE(bsl::comOpen("fake", 300, 4), 0);
}

void TestLinkTransport::cleanup()
{
    bsl::comClose();
    bsl::comSetTransport(nullptr);
}

void TestLinkTransport::repliesDecode_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("data");

    QTest::newRow("ack") << hex("90") << 0 << QByteArray();
    QTest::newRow("ack nibble") << hex("9f") << 0 << QByteArray();
    QTest::newRow("nak") << hex("a5") << 7 << QByteArray();
    QTest::newRow("command failed") << hex("71") << 9 << QByteArray();
    QTest::newRow("unknown header") << hex("00") << 1 << QByteArray();
    QTest::newRow("nothing") << QByteArray() << 6 << QByteArray();
    QTest::newRow("data frame") << ScriptedTarget::dataFrame(hex("01 02 03 04")) << 0 << hex("01 02 03 04");
    QTest::newRow("empty data frame") << ScriptedTarget::dataFrame(QByteArray()) << 0 << QByteArray();
    QTest::newRow("largest data frame") << ScriptedTarget::dataFrame(QByteArray(250, 'x')) << 0
                                        << QByteArray(250, 'x');
    QTest::newRow("L1 above 250") << ScriptedTarget::dataFrame(QByteArray(252, 'x')) << 1 << QByteArray();
    QTest::newRow("L1 != L2") << ScriptedTarget::dataFrame(hex("01 02"), 4) << 1 << QByteArray();
    QTest::newRow("CMD not 0") << ScriptedTarget::dataFrame(hex("01 02"), -1, false, 0x14) << 1 << QByteArray();
    QTest::newRow("bad checksum") << ScriptedTarget::dataFrame(hex("01 02"), -1, true) << 1 << QByteArray();
    QTest::newRow("header only") << hex("80") << 1 << QByteArray();
    QTest::newRow("cut in the data") << ScriptedTarget::dataFrame(hex("01 02 03 04")).left(6) << 1 << QByteArray();
    QTest::newRow("checksum missing") << ScriptedTarget::dataFrame(hex("01 02")).chopped(1) << 1 << QByteArray();
}

void TestLinkTransport::repliesDecode()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, code);
    QFETCH(QByteArray, data);

    transport.replies.append(reply);
    uint8_t in[bsl::kFrameBufferSize];
    std::memset(in, 0xEE, sizeof in);
    QCOMPARE(bsl::bslTxRx(bsl::kCmdReadBlock, 0x1000, uint16_t(data.size()), nullptr, in), code);
    QCOMPARE(bsl::bslReplyLength(), code == 0 ? data.size() : 0);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(in), data.size()), data);
    QCOMPARE(in[data.size()], uint8_t(0xEE));
    QCOMPARE(transport.frames.size(), 1);
}

void TestLinkTransport::frameSplitOverWaitsIsWhole()
{
    // Only the header is there at first; the rest comes a byte per wait.
    const QByteArray frame = ScriptedTarget::dataFrame(hex("0a 0b 0c 0d"));
    transport.replies.append(frame.left(1));
    transport.trickled = frame.mid(1);
    uint8_t in[bsl::kFrameBufferSize] = {};
    QCOMPARE(bsl::bslTxRx(bsl::kCmdReadBlock, 0x1000, 4, nullptr, in), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(in), 4), hex("0a 0b 0c 0d"));
}

void TestLinkTransport::earlyReplyStopsTheFrame()
{
    transport.answerAfterBytes = 3;
    transport.replies.append(hex("a0"));
    uint8_t block[8] = {1, 2, 3, 4};
    QCOMPARE(bsl::bslTxRx(bsl::kCmdWriteBlock, 0x2000, 4, block, nullptr), 7);
    QCOMPARE(transport.frames.value(0), hex("80 12 08"));
}

void TestLinkTransport::replyLargerThanTheCallersBufferIsCut()
{
    transport.replies.append(ScriptedTarget::dataFrame(QByteArray(200, 'z')));
    uint8_t in[16];
    std::memset(in, 0xEE, sizeof in);
    QCOMPARE(bsl::bslTxRx(bsl::kCmdReadBlock, 0x1000, 8, nullptr, in, 8), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(in), 8), QByteArray(8, 'z'));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(in + 8), 8), QByteArray(8, char(0xEE)));
}

void TestLinkTransport::lineSequencesSleepThroughTheTransport()
{
    bsl::bslReset(true);
    const unsigned long entry = transport.slept;
    QVERIFY(entry >= 500); // two settle times at least
    transport.slept = 0;
    bsl::bslReset(false);
    QVERIFY(transport.slept > 0 && transport.slept < entry);
}

void TestLinkTransport::rateIsKeptAndPortClosesWithoutDevice()
{
    QCOMPARE(bsl::comBaudRate(), 9600);
    QVERIFY(bsl::comSetBaudRate(38400, 2));
    QCOMPARE(bsl::comBaudRate(), 38400);
    QVERIFY(bsl::comSetBaudRate(14400, 2));
    QCOMPARE(bsl::comBaudRate(), 9600);
    QCOMPARE(bsl::comClose(), 0);
    // Closed: nothing reaches the transport any more.
    const uint8_t b = 0x80;
    QCOMPARE(bsl::comWrite(&b, 1), qint64(-1));
    QCOMPARE(bsl::comOpen("", 300, 4), 2);
    QCOMPARE(bsl::comOpen("again", 300, 4), 0);
}

QTEST_GUILESS_MAIN(TestLinkTransport)
#include "tst_linktransport.moc"
