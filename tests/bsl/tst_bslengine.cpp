// Whole engine runs against the virtual instrument through the real serial port.

#include "bslengine.h"
#include "enginestate.h"
#include "scramblekey.h"
#include "simmemory.h"
#include "simsupport.h"
#include "enginebench.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

std::vector<nvxsim::Command> commands(const nvxsim::Simulator &sim, uint8_t cmd)
{
    std::vector<nvxsim::Command> out;
    for (const nvxsim::Command &c : sim.commandLog()) {
        if (c.cmd == cmd)
            out.push_back(c);
    }
    return out;
}

std::string local(const QString &path)
{
    return path.toLocal8Bit().toStdString();
}

} // namespace

class TestBslEngine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void massEraseCyclesAndKeptCount();
    void sameBytesWhateverTheLineEnd_data();
    void sameBytesWhateverTheLineEnd();
    void twentyLinesGoAsBlocksOf240And80();
    void verifyAndEraseCheckFailures_data();
    void verifyAndEraseCheckFailures();
    void passwordRecordByLineIndex_data();
    void passwordRecordByLineIndex();
    void failuresEndTheRun_data();
    void failuresEndTheRun();
    void missingReplyToPasswordGives106();
    void pulledCableEndsRunInBoundedTime();
    void readMemoryAs240Plus16();
    void extendedMemoryRead();
    void readsExactlyWhatWasAsked_data();
    void readsExactlyWhatWasAsked();
    void segmentErase();
    void baudRateChange_data();
    void baudRateChange();
    void unreadableProgramErasesNothing_data();
    void unreadableProgramErasesNothing();
    void bufferTextIsNotKept();
    void longBufferLineGoesWhole();
    void restoreInfoAAfterMassErase();
    void oldLoaderGetsThePatch();
    void oldLoaderWithoutThePatch_data();
    void oldLoaderWithoutThePatch();

private:
    void startSim(const nvxsim::Config &config = nvxsim::Config());
    std::vector<std::string> args(std::initializer_list<std::string> rest) const;

    std::unique_ptr<nvxsim::Simulator> m_sim;
    QTemporaryDir m_dir;
    std::string m_passwordFile;
};

void TestBslEngine::init()
{
    m_passwordFile = local(writeFile(m_dir, "pw.txt", passwordFileText()));
    startSim();
}

void TestBslEngine::startSim(const nvxsim::Config &config)
{
    m_sim.reset(new nvxsim::Simulator(config));
    QVERIFY(m_sim->start());
    nvxsim::loadDefaultInstrument(*m_sim);
}

std::vector<std::string> TestBslEngine::args(std::initializer_list<std::string> rest) const
{
    // The default instrument opens with the first record of the password file.
    std::vector<std::string> out = {"-c" + m_sim->slavePath(), "-p" + m_passwordFile, "0"};
    out.insert(out.end(), rest);
    return out;
}

void TestBslEngine::massEraseCyclesAndKeptCount()
{
    RecordingSink sink;
    QCOMPARE(sink.run(args({"+e"})), 100);
    QCOMPARE(m_sim->stats().massErases, 20);
    QCOMPARE(sink.statuses, QList<int>() << QVector<int>(20, 2).toList());
    QCOMPARE(sink.count("Additional mass erase cycles...\n"), 1);
    const int mass = int(sink.messages.indexOf("Mass Erase...\n"));
    QCOMPARE(sink.messages.indexOf("Additional mass erase cycles...\n") > mass, true);
    QCOMPARE(m_sim->read(0x1000, 0x100), std::vector<uint8_t>(0x100, 0xFF));

    m_sim->resetStats();
    QCOMPARE(sink.run(args({"-m3", "+e"})), 100);
    QCOMPARE(sink.run(args({"+e"})), 100); // the count is kept by the next run
    QCOMPARE(m_sim->stats().massErases, 6);
}

void TestBslEngine::sameBytesWhateverTheLineEnd_data()
{
    QTest::addColumn<QByteArray>("text");
    const std::vector<uint8_t> bytes = pattern(100, 9);
    QTest::newRow("LF") << tiTxt(0x8000, bytes, "\n");
    QTest::newRow("CR LF") << tiTxt(0x8000, bytes, "\r\n");
    QTest::newRow("space LF") << tiTxt(0x8000, bytes, " \n");
    QTest::newRow("no q at the end") << tiTxt(0x8000, bytes, "\r\n", false);
    QTest::newRow("scrambled") << bsl::scrambleText(tiTxt(0x8000, bytes, "\n"));
    QTest::newRow("scrambled CR LF") << bsl::scrambleText(tiTxt(0x8000, bytes, "\r\n"));
}

void TestBslEngine::sameBytesWhateverTheLineEnd()
{
    QFETCH(QByteArray, text);
    RecordingSink sink;
    const QString fw = writeFile(m_dir, "fw.txt", text);
    QCOMPARE(sink.run(args({"+p", local(fw)})), 100);
    QCOMPARE(m_sim->read(0x8000, 100), pattern(100, 9));
    QVERIFY(sink.has("100 bytes programmed.\n"));
    QCOMPARE(sink.statuses.last(), 100);
}

void TestBslEngine::twentyLinesGoAsBlocksOf240And80()
{
    RecordingSink sink;
    const QString fw = writeFile(m_dir, "fw.txt", tiTxt(0x8000, pattern(320, 4), "\r\n"));
    QCOMPARE(sink.run(args({"-x", "+p", local(fw)})), 100);
    const std::vector<nvxsim::Command> writes = commands(*m_sim, 0x12);
    QCOMPARE(int(writes.size()), 2);
    QCOMPARE(int(commands(*m_sim, 0x21).size()), 6); // -x: after the password, around each write, at the end
    QCOMPARE(writes[0].address, 0x8000u);
    QCOMPARE(int(writes[0].length), 240);
    QCOMPARE(writes[1].address, 0x80F0u);
    QCOMPARE(int(writes[1].length), 80);
    QVERIFY(sink.has("Program starting at 32768 240 bytes... "));
    QVERIFY(sink.has("Program starting at 33008 80 bytes... "));
    QCOMPARE(sink.count("Error: 0\n"), 2);
    QVERIFY(sink.has("\r00 KByte "));
    QVERIFY(sink.has("320 bytes programmed.\n"));
    QCOMPARE(sink.statuses, QList<int>({2, 2, 100}));
    QCOMPARE(m_sim->read(0x8000, 320), pattern(320, 4));
}

void TestBslEngine::verifyAndEraseCheckFailures_data()
{
    QTest::addColumn<QString>("flow");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("detail");
    QTest::addColumn<QByteArray>("closing");
    QTest::newRow("verify") << "+v" << 198 << QByteArray("Verification failed at 32770 (3f, 4)\n")
                            << QByteArray("ERROR: Verification failed!\n");
    QTest::newRow("erase check") << "+c" << 197 << QByteArray("Erase Check failed at 32770 (3f)\n")
                                 << QByteArray("ERROR: Erase check failed!\n");
    QTest::newRow("one pass") << "-1" << 197 << QByteArray("Erase Check failed at 32770 (3f)\n")
                              << QByteArray("ERROR: Erase check failed!\n");
}

void TestBslEngine::verifyAndEraseCheckFailures()
{
    QFETCH(QString, flow);
    QFETCH(int, result);
    QFETCH(QByteArray, detail);
    QFETCH(QByteArray, closing);
    RecordingSink sink;
    const std::vector<uint8_t> bytes = {0xFF, 0xFF, 0x04, 0xFF};
    m_sim->write(0x8000, {0xFF, 0xFF, 0x3F, 0xFF});
    const QString fw = writeFile(m_dir, "fw.txt", tiTxt(0x8000, bytes));
    std::vector<std::string> a = args({flow.toStdString(), local(fw)});
    if (flow == "-1")
        a.insert(a.end() - 1, "+cpv");
    QCOMPARE(sink.run(a), result);
    QVERIFY2(sink.has(detail), sink.all().right(400).constData());
    QCOMPARE(sink.messages.last(), closing);
    QVERIFY(commands(*m_sim, 0x12).empty());
}

void TestBslEngine::passwordRecordByLineIndex_data()
{
    QTest::addColumn<QString>("index");
    QTest::addColumn<int>("result");
    QTest::newRow("record at line 0 opens") << "0" << 100;
    QTest::newRow("record at line 4 is refused") << "4" << 107;
}

void TestBslEngine::passwordRecordByLineIndex()
{
    QFETCH(QString, index);
    QFETCH(int, result);
    RecordingSink sink;
    const QString pw = writeFile(m_dir, "pw.txt", bsl::scrambleText(passwordFileText()));
    QCOMPARE(sink.run(args({"-p" + local(pw), index.toStdString(), "+"})), result);
    const std::vector<nvxsim::Command> sent = commands(*m_sim, 0x10);
    QCOMPARE(int(sent.size()), 1); // reading stops at the record's end line
    QCOMPARE(sent[0].acked, result == 100);
    // Every line up to the record's end is printed, skipped ones included.
    QCOMPARE(sink.count("programTIText password line is q\n"), index == "0" ? 1 : 2);
    if (result == 107)
        QCOMPARE(sink.messages.last(), QByteArray("ERROR: Password not accepted!\n"));
}

void TestBslEngine::failuresEndTheRun_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("flow");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArrayList>("closing");
    QTest::newRow("silent target") << "nosync" << "+" << 199
                                   << QByteArrayList{"ERROR: Synchronization failed!\n", "Device with boot loader connected?\n"};
    QTest::newRow("NAK to the password") << "nak0" << "+" << 107 << QByteArrayList{"ERROR: Password not accepted!\n"};
    QTest::newRow("NAK to the mass erase") << "nak0" << "+e" << 107 << QByteArrayList{"ERROR: Communication Error!\n"};
    QTest::newRow("NAK to the memory offset after the password")
        << "nak1" << "-x" << 107 << QByteArrayList{"ERROR: Password not accepted!\n"};
    QTest::newRow("corrupt read reply") << "corrupt" << "-r1000" << 101 << QByteArrayList{"ERROR: Communication Error!\n"};
}

void TestBslEngine::failuresEndTheRun()
{
    QFETCH(QString, fault);
    QFETCH(QString, flow);
    QFETCH(int, result);
    QFETCH(QByteArrayList, closing);
    nvxsim::Faults faults;
    faults.noSyncReply = fault == "nosync";
    faults.nakAfterFrames = fault == "nak0" ? 0 : fault == "nak1" ? 1 : -1;
    faults.corruptChecksumAfterFrames = fault == "corrupt" ? 0 : -1;
    m_sim->setFaults(faults);
    RecordingSink sink;
    std::vector<std::string> a = args({flow.toStdString()});
    if (flow == "-x")
        a.push_back("+");
    if (flow == "-r1000") {
        a.push_back("100");
        a.push_back(local(m_dir.filePath("out.txt")));
    }
    QCOMPARE(sink.run(a), result);
    QCOMPARE(sink.messages.mid(sink.messages.size() - closing.size()), closing);
    QVERIFY(!sink.statuses.contains(result)); // no programming requested
    QVERIFY(!QFile::exists(m_dir.filePath("out.txt")));
}

void TestBslEngine::missingReplyToPasswordGives106()
{
    ScriptedTarget target;
    target.queueReply(QByteArray());
    RecordingSink sink;
    QCOMPARE(sink.run({"-c" + target.path(), "+"}), 106);
    QCOMPARE(sink.messages.last(), QByteArray("ERROR: Communication Error!\n"));
}

void TestBslEngine::pulledCableEndsRunInBoundedTime()
{
    RecordingSink sink;
    const QString fw = writeFile(m_dir, "fw.txt", tiTxt(0x8000, pattern(4096, 1)));
    nvxsim::Faults faults;
    faults.hangUpAfterFrames = 5;
    m_sim->setFaults(faults);
    QElapsedTimer timer;
    timer.start();
    const int result = sink.run(args({"-x", "+pr", local(fw)}));
    QVERIFY(result > 100);
    QVERIFY2(timer.elapsed() < 8000, QByteArray::number(timer.elapsed()));
    QCOMPARE(sink.statuses.last(), result);

    // Plugged in again, the same command completes.
    sink.clear();
    QCOMPARE(sink.run(args({"+p", local(fw)})), 100);
    QCOMPARE(m_sim->read(0x8000, 4096), pattern(4096, 1));
}

void TestBslEngine::readMemoryAs240Plus16()
{
    RecordingSink sink;
    const QString out = m_dir.filePath("info.txt");
    QCOMPARE(sink.run(args({"-r1000", "100", local(out)})), 100);
    const std::vector<nvxsim::Command> reads = commands(*m_sim, 0x14);
    QCOMPARE(int(reads.size()), 3); // identity block, then the two chunks
    QCOMPARE(reads[1].address, 0x1000u);
    QCOMPARE(int(reads[1].length), 240);
    QCOMPARE(reads[2].address, 0x10F0u);
    QCOMPARE(int(reads[2].length), 16);
    QVERIFY(sink.has("  Read memory Start: 0x1000 Length 240\n"));
    QVERIFY(sink.has("  Read memory Start: 0x10F0 Length 16\n"));

    QFile f(out);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    QCOMPARE(lines.size(), 19); // address line, 16 data lines, q, and the empty rest
    QCOMPARE(lines.first(), QByteArray("@1000"));
    QCOMPARE(lines.at(17), QByteArray("q"));
    const std::vector<uint8_t> info = m_sim->read(0x1000, 256);
    for (int i = 0; i < 16; ++i) {
        QCOMPARE(lines.at(1 + i).size(), 47);
        uint8_t values[16];
        QCOMPARE(sscanf(lines.at(1 + i).constData(), "%hhX %hhX %hhX %hhX %hhX %hhX %hhX %hhX %hhX %hhX %hhX %hhX %hhX %hhX %hhX %hhX",
                        &values[0], &values[1], &values[2], &values[3], &values[4], &values[5], &values[6], &values[7],
                        &values[8], &values[9], &values[10], &values[11], &values[12], &values[13], &values[14], &values[15]),
                 16);
        QCOMPARE(std::vector<uint8_t>(values, values + 16), std::vector<uint8_t>(info.begin() + 16 * i, info.begin() + 16 * i + 16));
        QCOMPARE(lines.at(1 + i), lines.at(1 + i).toUpper());
    }
}

void TestBslEngine::extendedMemoryRead()
{
    m_sim->write(0x12000, pattern(32, 6));
    RecordingSink sink;
    const QString out = m_dir.filePath("ext.txt");
    QCOMPARE(sink.run(args({"-x", "-r12000", "20", local(out)})), 100);
    std::vector<nvxsim::Command> log = m_sim->commandLog();
    auto read = std::find_if(log.begin(), log.end(), [](const nvxsim::Command &c) { return c.cmd == 0x14 && c.address == 0x2000; });
    QVERIFY(read != log.end());
    QCOMPARE(int(read->length), 32);
    QCOMPARE(int((read - 1)->cmd), 0x21);
    QCOMPARE(int((read - 1)->length), 1);
    QCOMPARE(int((read + 1)->cmd), 0x21);
    QCOMPARE(int((read + 1)->length), 0);
    QFile f(out);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readLine(), QByteArray("@12000\n"));
}

void TestBslEngine::readsExactlyWhatWasAsked_data()
{
    QTest::addColumn<uint>("start");
    QTest::addColumn<uint>("length");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<QString>("output"); // empty: a file in the test folder
    QTest::addColumn<int>("result");
    QTest::newRow("odd start") << 0x1081u << 0x10u << false << QString() << 100;
    QTest::newRow("odd length") << 0x1000u << 0x101u << false << QString() << 100;
    QTest::newRow("odd start and length over three chunks") << 0x1001u << 0x1F3u << false << QString() << 100;
    QTest::newRow("one byte at an odd address") << 0x10FFu << 1u << false << QString() << 100;
    QTest::newRow("across 64 KiB") << 0xFFF0u << 0x40u << true << QString() << 100;
    QTest::newRow("odd, across 64 KiB over several chunks") << 0xFF01u << 0x2FFu << true << QString() << 100;
    QTest::newRow("odd, above 64 KiB") << 0x10001u << 0x21u << true << QString() << 100;
    QTest::newRow("across 64 KiB without -x") << 0xFFF0u << 0x40u << false << QString() << 194;
    QTest::newRow("beyond the address space") << 0xFFFF0u << 0x20u << true << QString() << 194;
    QTest::newRow("output folder missing") << 0x1000u << 0x100u << false << "missing/info.txt" << 195;
    QTest::newRow("disk full") << 0x1000u << 0x100u << false << "/dev/full" << 195;
}

void TestBslEngine::readsExactlyWhatWasAsked()
{
    QFETCH(uint, start);
    QFETCH(uint, length);
    QFETCH(bool, extended);
    QFETCH(QString, output);
    QFETCH(int, result);
    if (output.startsWith('/') && !QFileInfo(output).isWritable())
        QSKIP("no /dev/full here");
    m_sim->write(0x10000, pattern(0x400, 0x21));
    const QString out = output.startsWith('/') ? output : m_dir.filePath(output.isEmpty() ? "read.txt" : output);
    RecordingSink sink;
    std::vector<std::string> a = args({"-r" + QByteArray::number(start, 16).toStdString(),
                                       QByteArray::number(length, 16).toStdString(), local(out)});
    if (extended)
        a.push_back("-x");
    QCOMPARE(sink.run(a), result);

    const std::vector<nvxsim::Command> reads = commands(*m_sim, 0x14);
    if (result == 194) {
        QCOMPARE(int(reads.size()), 1); // the identity block only
        QCOMPARE(sink.messages.last(), QByteArray("ERROR: Invalid memory range!\n"));
        return;
    }
    if (result == 195) {
        QCOMPARE(sink.messages.last(), "ERROR: Unable to write output file \"" + out.toLocal8Bit() + "\"!\n");
        return;
    }
    for (const nvxsim::Command &c : reads)
        QVERIFY2(c.length % 2 == 0 && (c.address & 1) == 0 && (c.address & 0xFFFF) + c.length <= 0x10000,
                 qPrintable(QString::number(c.address, 16)));
    QFile f(out);
    QVERIFY(f.open(QIODevice::ReadOnly));
    std::vector<nvxsim::TiTxtBlock> blocks;
    QVERIFY(nvxsim::parseTiTxt(f.readAll().toStdString(), blocks));
    QCOMPARE(int(blocks.size()), 1);
    QCOMPARE(blocks[0].address, uint32_t(start));
    QCOMPARE(blocks[0].bytes, m_sim->read(start, length));
}

void TestBslEngine::segmentErase()
{
    m_sim->write(0x1200, pattern(0x200, 3));
    RecordingSink sink;
    QCOMPARE(sink.run(args({"-e1300", "skipped"})), 100);
    QVERIFY(sink.has("Erase Segment: 0x1300\n"));
    const std::vector<nvxsim::Command> erases = commands(*m_sim, 0x16);
    QCOMPARE(int(erases.size()), 1);
    QCOMPARE(erases[0].address, 0x1300u);
    QCOMPARE(int(erases[0].length), 0xA502);
    QCOMPARE(m_sim->read(0x1200, 0x200), std::vector<uint8_t>(0x200, 0xFF));
    QCOMPARE(m_sim->read(0x1100, 2), std::vector<uint8_t>({0x31, 0x40})); // the application stays
}

void TestBslEngine::baudRateChange_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<int>("commandsSent");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("index 1") << "-s1" << false << 1 << QByteArray("to 19200 Baud (Mode: 1)\n");
    QTest::newRow("index 0 at 9600") << "-s0" << false << 0 << QByteArray();
    QTest::newRow("refused") << "-s2" << true << 1 << QByteArray("command not accepted. Baudrate remains at 9600 Baud\n");
}

void TestBslEngine::baudRateChange()
{
    QFETCH(QString, option);
    QFETCH(bool, refuse);
    QFETCH(int, commandsSent);
    QFETCH(QByteArray, text);
    nvxsim::Faults faults;
    faults.refuseBaudChange = refuse;
    m_sim->setFaults(faults);
    RecordingSink sink;
    const QString out = m_dir.filePath("info.txt");
    QCOMPARE(sink.run(args({option.toStdString(), "-r1000", "100", local(out)})), 100);
    const std::vector<nvxsim::Command> changes = commands(*m_sim, 0x20);
    QCOMPARE(int(changes.size()), commandsSent);
    if (!text.isEmpty())
        QVERIFY(sink.has(text));
    if (option == "-s1")
        QCOMPARE(changes[0].address, 0x86E0u);
    // The read after the change works at the new rate.
    QVERIFY(QFile::exists(out));
}

void TestBslEngine::unreadableProgramErasesNothing_data()
{
    QTest::addColumn<QByteArray>("file"); // empty: missing
    QTest::addColumn<QByteArray>("buffer"); // null: no -y
    QTest::newRow("missing file") << QByteArray() << QByteArray();
    QTest::newRow("error page instead of firmware") << QByteArray("<html>502 Bad Gateway</html>\n") << QByteArray();
    QTest::newRow("malformed buffer text") << firmwareText(32, 1, 1) << QByteArray("@1000\nFF F\nq\n");
}

void TestBslEngine::unreadableProgramErasesNothing()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, buffer);
    RecordingSink sink;
    const std::vector<uint8_t> before = m_sim->read(0x1000, 0xF000);
    const QString fw = file.isEmpty() ? m_dir.filePath("absent.txt") : writeFile(m_dir, "fw.txt", file);
    std::vector<std::string> a = args({"+epr"});
    if (!buffer.isNull()) {
        a.push_back("-y");
        a.push_back(buffer.toStdString());
    }
    a.push_back(local(fw));
    QCOMPARE(sink.run(a), 196);
    QCOMPARE(m_sim->stats().massErases, 0);
    QCOMPARE(m_sim->read(0x1000, 0xF000), before);
    const QByteArray name = buffer.isNull() ? fw.toLocal8Bit() : QByteArray("buffer");
    QCOMPARE(sink.messages.last(), "ERROR: Unable to open input file \"" + name + "\"!\n");
    QCOMPARE(sink.statuses, QList<int>({196}));
}

void TestBslEngine::bufferTextIsNotKept()
{
    RecordingSink sink;
    const QString fw = writeFile(m_dir, "fw.txt", tiTxt(0x8000, pattern(32, 1)));
    const std::string buffer = tiTxt(0x2000, pattern(32, 2)).toStdString();
    QCOMPARE(sink.run(args({"-y", buffer, "+p", local(fw)})), 100);
    QCOMPARE(m_sim->read(0x2000, 32), pattern(32, 2));
    m_sim->clearCommandLog();
    QCOMPARE(sink.run(args({"+p", local(fw)})), 100);
    const std::vector<nvxsim::Command> writes = commands(*m_sim, 0x12);
    QCOMPARE(int(writes.size()), 1);
    QCOMPARE(writes[0].address, 0x8000u);
}

void TestBslEngine::longBufferLineGoesWhole()
{
    RecordingSink sink;
    const QString fw = writeFile(m_dir, "fw.txt", tiTxt(0x8000, pattern(32, 1)));
    // One line of 100 values, more than a line of a file can hold.
    const QByteArray line = tiTxt(0x2000, pattern(100, 6)).split('\n').mid(1, 7).join(' ');
    QCOMPARE(sink.run(args({"-y", ("@2000\n" + line + "\nq\n").toStdString(), "+p", local(fw)})), 100);
    QCOMPARE(m_sim->read(0x2000, 100), pattern(100, 6));
    QVERIFY(sink.has("132 bytes programmed.\n"));
}

void TestBslEngine::restoreInfoAAfterMassErase()
{
    RecordingSink sink;
    const std::vector<uint8_t> segmentA = m_sim->read(0x10C0, 64);
    const QString pw = writeFile(m_dir, "pw.txt", passwordFileText());
    const QString fw = writeFile(m_dir, "fw.txt", firmwareText(32, 1, 1));
    QCOMPARE(sink.run(args({"-p" + local(pw), "0", "+ap", local(fw)})), 100);
    QVERIFY(sink.has("Restore InfoA Segment...\n"));
    QCOMPARE(m_sim->read(0x10C0, 64), segmentA);
    QCOMPARE(m_sim->read(0x1000, 0x90), std::vector<uint8_t>(0x90, 0xFF)); // 0x1090 holds the started application's version
    QCOMPARE(m_sim->read(0x8000, 32), pattern(32, 0x31));
}

void TestBslEngine::oldLoaderGetsThePatch()
{
    nvxsim::Config config;
    config.bslVersion = 0x0110;
    startSim(config);
    RecordingSink sink;
    const QString patch = writeFile(m_dir, "patch.txt", tiTxt(0x0220, pattern(64, 8)));
    const QString fw = writeFile(m_dir, "fw.txt", tiTxt(0x8000, pattern(64, 5)));
    const QString pw = writeFile(m_dir, "pw.txt", passwordFileText());
    QCOMPARE(sink.run(args({"-p" + local(pw), "0", "-a" + local(patch), "+pv", local(fw)})), 100);
    QVERIFY(sink.has("Patch for flash programming required!\n"));
    QVERIFY(sink.has("Load PC with 0x0C22...\n"));
    QVERIFY(sink.has("Load and verify patch \"" + patch.toLocal8Bit() + "\"...\n"));
    QVERIFY(sink.has("Verification successful.") || sink.has("Programming completed."));
    QCOMPARE(m_sim->read(0x8000, 64), pattern(64, 5));
}

void TestBslEngine::oldLoaderWithoutThePatch_data()
{
    QTest::addColumn<QString>("flow");
    QTest::addColumn<int>("result");
    // Only runs that touch flash need the patch; one that would erase first
    // learns that before the erase.
    QTest::newRow("erase and program") << "+epr" << 196;
    QTest::newRow("read") << "-r" << 100;
    QTest::newRow("restart") << "+r" << 100;
}

void TestBslEngine::oldLoaderWithoutThePatch()
{
    QFETCH(QString, flow);
    QFETCH(int, result);
    nvxsim::Config config;
    config.bslVersion = 0x0110;
    startSim(config);
    RecordingSink sink;
    const std::vector<uint8_t> before = m_sim->read(0x1000, 0xF000);
    const QString patch = m_dir.filePath("no-patch.txt");
    const QString fw = writeFile(m_dir, "fw.txt", firmwareText(64, 2, 0));
    const QString out = m_dir.filePath("info.txt");
    std::vector<std::string> a = args({"-x", "-a" + local(patch)});
    if (flow == "-r")
        a.insert(a.end(), {"-r1000", "100", local(out)});
    else
        a.insert(a.end(), {flow.toStdString(), local(fw)});
    QCOMPARE(sink.run(a), result);
    QCOMPARE(m_sim->stats().massErases, 0);
    QVERIFY(m_sim->read(0x1000, 0xF000) == before);
    QVERIFY(commands(*m_sim, 0x1A).empty());
    if (result == 196) {
        QVERIFY(sink.has("Patch for flash programming required!\n"));
        QCOMPARE(sink.messages.last(), "ERROR: Unable to open input file \"" + patch.toLocal8Bit() + "\"!\n");
    } else {
        QVERIFY(!sink.has("Patch for flash programming required!\n"));
    }
}

QTEST_GUILESS_MAIN(TestBslEngine)
#include "tst_bslengine.moc"
