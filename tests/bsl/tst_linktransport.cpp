// The engine's line through a recording transport: the line sequences that
// start the loader and reset the target (order, levels, pauses), the settings
// every run opens with, and replies and waits a device gives only by chance.

#include "enginebench.h"
#include "enginestate.h"
#include "recordingtransport.h"
#include "titxtfiles.h"

#include <QtTest>

#include <algorithm>
#include <optional>

namespace {

QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

} // namespace

class TestLinkTransport : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void lineSequences_data();
    void lineSequences();
    void repliesDecode_data();
    void repliesDecode();
    void frameSplitOverWaitsIsWhole();
    void earlyReplyIsNotTheReply();
    void lineFaultsOnAWrite_data();
    void lineFaultsOnAWrite();
    void replyLargerThanTheCallersBufferIsCut();

private:
    RecordingSink printed;
    std::optional<nvxtest::LoaderTransport> line;
    std::optional<bsl::EngineSession> run; // on line
};

void TestLinkTransport::init()
{
    line.emplace();
    run.emplace(bsl::RunRequest(), printed, &*line);
    QCOMPARE(run->link.comOpen("fake", 300, 4), 0);
}

void TestLinkTransport::cleanup()
{
    if (run)
        run->link.comClose();
    run.reset();
    line.reset();
    printed.line = nullptr;
}

void TestLinkTransport::lineSequences_data()
{
    QTest::addColumn<QString>("step"); // a line call, or an engine run with these actions
    QTest::addColumn<QStringList>("expected");

    const QStringList opened = {"open COM7", "baud 9600 AllDirections", "data Data8", "parity EvenParity",
                                "stop OneStop", "text 0", "flow NoFlowControl", "rts 1", "dtr 1",
                                "clear AllDirections"};
    const QStringList before = {"sleep 250", "flow NoFlowControl", "dtr 1"};
    const QStringList after = {"sleep 250", "flow NoFlowControl", "clear AllDirections"};
    const QStringList entry = before
        + QStringList{"rts 0", "sleep 250", "rts 1", "sleep 10", "rts 0", "sleep 10",
                      "rts 1", "sleep 10",  "dtr 0", "sleep 10", "rts 0", "sleep 10"}
        + after;
    const QStringList reset = before + QStringList{"sleep 10", "dtr 0"} + after;
    const QStringList closed = {"clear AllDirections", "close"};
    QStringList runOpened = opened;
    runOpened[0] = "open \\\\.\\COM7"; // as -c stores it

    QTest::newRow("open") << "open" << opened;
    QTest::newRow("loader entry") << "entry" << entry;
    QTest::newRow("reset into the application") << "reset" << reset;
    QTest::newRow("close") << "close" << closed;
    QTest::newRow("restart run") << "+r" << runOpened + entry + reset + closed;
    QTest::newRow("run on a loader the program called") << "+ur" << runOpened + reset + closed;
}

void TestLinkTransport::lineSequences()
{
    QFETCH(QString, step);
    QFETCH(QStringList, expected);

    QStringList calls;
    if (step.startsWith('+')) {
        nvxtest::MemoryTransport loader; // answers reads too: the run goes all the way
        printed.line = &loader;
        QCOMPARE(printed.run({"-cCOM7", step.toStdString()}), 100);
        calls = loader.calls;
    } else {
        if (step == "open")
            run->link.comClose();
        line->calls.clear();
        if (step == "open")
            QCOMPARE(run->link.comOpen("COM7", 300, 4), 0);
        else if (step == "entry")
            run->frames.bslReset(true);
        else if (step == "reset")
            run->frames.bslReset(false);
        else
            QCOMPARE(run->link.comClose(), 0);
        calls = line->calls;
    }

    // A run's frames are checked elsewhere; here only what it does to the line.
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [](const QString &c) {
                                   return c.startsWith("write ") || c.startsWith("wait ") || c == "clear Input";
                               }),
                calls.end());
    QCOMPARE(calls, expected);
}

void TestLinkTransport::repliesDecode_data()
{
    QTest::addColumn<QByteArray>("syncAnswer");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("waits"); // the reply waits, in ms

    const QByteArray ack = hex("90");
    QTest::newRow("silent loader: three sync tries") << QByteArray() << QByteArray() << 99 << QByteArray()
                                                     << "100 100 100";
    QTest::newRow("no reply") << ack << QByteArray() << 6 << QByteArray() << "1200";
    QTest::newRow("empty data frame") << ack << ScriptedTarget::dataFrame(QByteArray()) << 0 << QByteArray() << "";
    QTest::newRow("largest data frame") << ack << ScriptedTarget::dataFrame(QByteArray(250, 'x')) << 0
                                        << QByteArray(250, 'x') << "";
    QTest::newRow("header only") << ack << hex("80") << 1 << QByteArray() << "300";
    QTest::newRow("checksum missing") << ack << ScriptedTarget::dataFrame(hex("01 02")).chopped(1) << 1
                                      << QByteArray() << "300";
}

void TestLinkTransport::repliesDecode()
{
    QFETCH(QByteArray, syncAnswer);
    QFETCH(QByteArray, reply);
    QFETCH(int, code);
    QFETCH(QByteArray, data);
    QFETCH(QString, waits);

    line->syncAnswer = syncAnswer;
    line->replies.append(reply);
    line->calls.clear();
    uint8_t in[bsl::kFrameBufferSize];
    std::memset(in, 0xEE, sizeof in);
    QCOMPARE(run->frames.bslTxRx(bsl::kCmdReadBlock, 0x1000, uint16_t(data.size()), nullptr, in), code);
    const bool synced = !syncAnswer.isEmpty();
    if (synced) // else nothing was sent, and the last data frame's length stands
        QCOMPARE(run->frames.bslReplyLength(), code == 0 ? data.size() : 0);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(in), data.size()), data);
    QCOMPARE(in[data.size()], uint8_t(0xEE));
    QCOMPARE(line->frames.size(), synced ? 1 : 0);
    const QStringList waited = line->calls.filter(QRegularExpression("^wait read "));
    QCOMPARE(waited.join(' ').remove("wait read "), waits);
}

void TestLinkTransport::frameSplitOverWaitsIsWhole()
{
    // Only the header is there at first; the rest comes a byte per wait.
    const QByteArray frame = ScriptedTarget::dataFrame(hex("0a 0b 0c 0d"));
    line->replies.append(frame.left(1));
    for (char c : frame.mid(1))
        line->trickle.push_back(uint8_t(c));
    uint8_t in[bsl::kFrameBufferSize] = {};
    QCOMPARE(run->frames.bslTxRx(bsl::kCmdReadBlock, 0x1000, 4, nullptr, in), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(in), 4), hex("0a 0b 0c 0d"));
}

void TestLinkTransport::earlyReplyIsNotTheReply()
{
    line->answerAfterBytes = 3;
    line->replies.append(hex("a0"));
    uint8_t block[8] = {1, 2, 3, 4};
    QCOMPARE(run->frames.bslTxRx(bsl::kCmdWriteBlock, 0x2000, 4, block, nullptr), 6);
    QCOMPARE(line->frames.value(0), hex("80 12 08"));
    QCOMPARE(line->calls.filter("write ").last(), QStringLiteral("write c3")); // the frame went out whole
    QVERIFY(printed.has("write interupted by read\n"));
}

void TestLinkTransport::lineFaultsOnAWrite_data()
{
    QTest::addColumn<int>("dropByte"); // of the first of two write frames, 250 bytes long
    QTest::addColumn<int>("strayAfter");
    QTest::addColumn<int>("result");
    QTest::newRow("stray ACK before the frame ends") << -1 << 100 << 100;
    QTest::newRow("last byte lost, a stray ACK where the reply would be: sent again") << 249 << 250 << 100;
    QTest::newRow("last byte lost, a stray ACK before the frame ends") << 249 << 100 << 198;
}

void TestLinkTransport::lineFaultsOnAWrite()
{
    QFETCH(int, dropByte);
    QFETCH(int, strayAfter);
    QFETCH(int, result);
    nvxtest::MemoryTransport loader;
    loader.dropByte = dropByte;
    loader.strayAfter = strayAfter;
    QTemporaryDir dir;
    const QByteArray file = dir.filePath("fw.txt").toLocal8Bit();
    std::vector<uint8_t> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 13 + 1);
    QFile f(QString::fromLocal8Bit(file));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(tiTxt(0x8000, bytes)) > 0);
    f.close();
    printed.line = &loader;
    QCOMPARE(printed.run({"-cCOM7", "+p", file.toStdString()}), result);
    bool written = true;
    for (size_t i = 0; i < bytes.size(); ++i)
        written = written && loader.at(0x8000 + uint32_t(i)) == bytes[i];
    QCOMPARE(written, result == 100); // never a run that ends well over a block not written
}

void TestLinkTransport::replyLargerThanTheCallersBufferIsCut()
{
    line->replies.append(ScriptedTarget::dataFrame(QByteArray(200, 'z')));
    uint8_t in[16];
    std::memset(in, 0xEE, sizeof in);
    QCOMPARE(run->frames.bslTxRx(bsl::kCmdReadBlock, 0x1000, 8, nullptr, in, 8), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(in), 8), QByteArray(8, 'z'));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(in + 8), 8), QByteArray(8, char(0xEE)));
}

QTEST_GUILESS_MAIN(TestLinkTransport)
#include "tst_linktransport.moc"
