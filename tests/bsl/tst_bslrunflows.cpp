// Run branches against the virtual instrument: replacement loader, user-called
// two-pass runs, fast erase check, one-pass runs, and replies that fail.

#include "bslengine.h"
#include "enginestate.h"
#include "simsupport.h"
#include "enginebench.h"

#include <QtTest>

namespace {

std::string local(const QString &path)
{
    return path.toLocal8Bit().toStdString();
}

int countOf(const std::vector<nvxsim::Command> &log, uint8_t cmd)
{
    return int(std::count_if(log.begin(), log.end(), [cmd](const nvxsim::Command &c) { return c.cmd == cmd; }));
}

// The memory commands of a run after the identity read, as "14@8000/240" words.
QString memoryTrace(const std::vector<nvxsim::Command> &log)
{
    QStringList words;
    for (const nvxsim::Command &c : log) {
        if (c.cmd == 0x14 && c.address == 0x0FF0)
            continue;
        if (c.cmd == 0x12 || c.cmd == 0x14 || c.cmd == 0x1C || (c.cmd == 0x1A && c.address == 0x0220))
            words << QStringLiteral("%1@%2/%3").arg(c.cmd, 2, 16, QChar('0')).arg(c.address, 4, 16, QChar('0')).arg(c.length);
    }
    return words.join(' ');
}

// A loader image for RAM at 0x0300: entry word, model word, code.
QByteArray loaderText(uint16_t entry, uint16_t model)
{
    std::vector<uint8_t> image = {uint8_t(entry), uint8_t(entry >> 8), uint8_t(model), uint8_t(model >> 8)};
    const std::vector<uint8_t> code = pattern(60, 0x40);
    image.insert(image.end(), code.begin(), code.end());
    return tiTxt(0x0300, image);
}

} // namespace

class TestBslRunFlows : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void replacementLoader_data();
    void replacementLoader();
    void loaderRunErasesOnceAfterLoading();
    void missingLoaderFileErasesNothing();
    void failedWriteUnderLoaderFailsTheRun();
    void userCalledRunsTwoPasses_data();
    void userCalledRunsTwoPasses();
    void fastEraseCheck_data();
    void fastEraseCheck();
    void onePass_data();
    void onePass();
    void replyFaultsEndTheRun_data();
    void replyFaultsEndTheRun();

private:
    void startSim(uint16_t bslVersion = 0x0161);
    std::vector<std::string> args(std::initializer_list<std::string> rest) const;

    std::unique_ptr<nvxsim::Simulator> m_sim;
    QTemporaryDir m_dir;
    std::string m_passwordFile;
};

void TestBslRunFlows::init()
{
    m_passwordFile = local(writeFile(m_dir, "pw.txt", passwordFileText()));
    startSim();
}

void TestBslRunFlows::startSim(uint16_t bslVersion)
{
    nvxsim::Config config;
    config.bslVersion = bslVersion;
    m_sim.reset(new nvxsim::Simulator(config));
    QVERIFY(m_sim->start());
    nvxsim::loadDefaultInstrument(*m_sim);
}

std::vector<std::string> TestBslRunFlows::args(std::initializer_list<std::string> rest) const
{
    std::vector<std::string> out = {"-c" + m_sim->slavePath(), "-p" + m_passwordFile, "0"};
    out.insert(out.end(), rest);
    return out;
}

void TestBslRunFlows::replacementLoader_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("model");
    QTest::newRow("small model") << 0x0161 << 0;
    QTest::newRow("large model") << 0x0161 << 1;
    QTest::newRow("small model on a loader that would need the patch") << 0x0110 << 0;
    QTest::newRow("large model on a loader that would need the patch") << 0x0110 << 0x8000;
    QTest::newRow("small model on a loader that does not verify") << 0x0130 << 0;
}

void TestBslRunFlows::replacementLoader()
{
    QFETCH(int, version);
    QFETCH(int, model);
    startSim(uint16_t(version));
    RecordingSink sink;
    const QString loader = writeFile(m_dir, "loader.txt", loaderText(0x0304, uint16_t(model)));
    const QString fw = writeFile(m_dir, "fw.txt", tiTxt(0x8000, pattern(300, 5)));
    QCOMPARE(sink.run(args({"-b" + local(loader), "+pv", local(fw)})), 100);
    QCOMPARE(m_sim->read(0x8000, 300), pattern(300, 5));
    QCOMPARE(m_sim->read(0x0300, 4), (std::vector<uint8_t>{0x04, 0x03, uint8_t(model), uint8_t(model >> 8)}));

    const QByteArray name = loader.toLocal8Bit();
    const bool old = version <= 0x0110, verifies = version >= 0x0140;
    QCOMPARE(sink.has("Load PC with 0x0C22...\n"), old);
    QVERIFY(!sink.has("Patch for flash programming required!\n"));
    const int load = int(sink.messages.indexOf(" new BSL \"" + name + "\" into RAM at 0x0300...\n"));
    QVERIFY(load >= 2);
    QCOMPARE(sink.messages[load - 1], QByteArray(verifies ? "/Verify" : "Load"));
    if (verifies)
        QCOMPARE(sink.messages[load - 2], QByteArray("Load"));
    QCOMPARE(sink.has("Verify new BSL \"" + name + "\"...\n"), !verifies);
    QVERIFY(sink.has(model ? "Start new BSL (LARGE model > 1K Bytes) at 0x0304...\n"
                           : "Start new BSL (SMALL model < 512 Bytes) at 0x0304...\n"));
    QVERIFY(sink.has("Verify... already done during programming.\n"));

    // After the jump only a large loader is sent the password again; no patch is ever used.
    const std::vector<nvxsim::Command> log = m_sim->commandLog();
    const auto jump = std::find_if(log.begin(), log.end(), [](const nvxsim::Command &c) { return c.cmd == 0x1A && c.address == 0x0304; });
    QVERIFY(jump != log.end());
    QVERIFY(jump->acked);
    const std::vector<nvxsim::Command> before(log.begin(), jump), after(jump + 1, log.end());
    QCOMPARE(countOf(after, 0x10), model ? 1 : 0);
    QCOMPARE(countOf(before, 0x10), old ? 2 : 1);
    QVERIFY(!memoryTrace(log).contains("1a@0220"));
    QVERIFY(std::all_of(log.begin(), log.end(), [](const nvxsim::Command &c) { return c.acked; }));
}

void TestBslRunFlows::loaderRunErasesOnceAfterLoading()
{
    RecordingSink sink;
    const QString loader = writeFile(m_dir, "loader.txt", loaderText(0x0304, 0));
    const QString fw = writeFile(m_dir, "fw.txt", firmwareText(64, 2, 3));
    QCOMPARE(sink.run(args({"-b" + local(loader), "+ep", local(fw)})), 100);
    // With a loader and a password file the erase waits for the new loader and runs once.
    QCOMPARE(m_sim->stats().massErases, 1);
    QCOMPARE(sink.count("Mass Erase...\n"), 1);
    QVERIFY(sink.messages.indexOf("Mass Erase...\n") > sink.messages.indexOf("Start new BSL (SMALL model < 512 Bytes) at 0x0304...\n"));
    QCOMPARE(countOf(m_sim->commandLog(), 0x10), 1);
    QCOMPARE(m_sim->read(0x8000, 64), pattern(64, 0x31));
    QCOMPARE(m_sim->read(0x1080, 1), std::vector<uint8_t>{0xFF});
    QCOMPARE(sink.statuses.first(), 2);
    QCOMPARE(sink.statuses.last(), 100);
}

void TestBslRunFlows::missingLoaderFileErasesNothing()
{
    RecordingSink sink;
    const std::vector<uint8_t> before = m_sim->read(0x1000, 0xF000);
    const QString loader = m_dir.filePath("no-loader.txt");
    const QString fw = writeFile(m_dir, "fw.txt", firmwareText(64, 2, 3));
    QCOMPARE(sink.run(args({"-b" + local(loader), "+ep", local(fw)})), 196);
    QCOMPARE(sink.messages.last(), "ERROR: Unable to open input file \"" + loader.toLocal8Bit() + "\"!\n");
    QCOMPARE(m_sim->stats().massErases, 0);
    QCOMPARE(m_sim->read(0x1000, 0xF000), before);
    QCOMPARE(countOf(m_sim->commandLog(), 0x1A), 0);
}

void TestBslRunFlows::failedWriteUnderLoaderFailsTheRun()
{
    RecordingSink sink;
    const QString loader = writeFile(m_dir, "loader.txt", loaderText(0x0304, 0));
    // 0x0A00 is neither RAM nor flash: the loader refuses the write.
    const QString fw = writeFile(m_dir, "fw.txt", tiTxt(0x0A00, pattern(16, 1)));
    QCOMPARE(sink.run(args({"-b" + local(loader), "+p", local(fw)})), 198);
    QVERIFY(std::any_of(sink.messages.begin(), sink.messages.end(),
                        [](const QByteArray &m) { return m.startsWith("Verification Error at 0x"); }));
    QCOMPARE(sink.messages.last(), QByteArray("ERROR: Verification failed!\n"));
    QVERIFY(!sink.has("Programming completed."));
    QCOMPARE(sink.statuses.last(), 198);
}

void TestBslRunFlows::userCalledRunsTwoPasses_data()
{
    QTest::addColumn<QString>("flow");
    QTest::addColumn<bool>("withFile");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("massErases");
    QTest::addColumn<int>("passwords");
    QTest::addColumn<int>("secondPasses");
    // The loader the host finds is locked (see the simulator): only what a locked loader
    // does can succeed before the password of the second pass.
    QTest::newRow("mass erase in both passes") << "+ue" << false << 100 << 40 << 1 << 1;
    QTest::newRow("no actions: the password file opens the second pass") << "+u" << false << 100 << 0 << 1 << 1;
    // Its identity read is refused too: a loader of unknown version is not programmed.
    QTest::newRow("programming a locked loader") << "+up" << true << 107 << 0 << 0 << 0;
}

void TestBslRunFlows::userCalledRunsTwoPasses()
{
    QFETCH(QString, flow);
    QFETCH(bool, withFile);
    QFETCH(int, result);
    QFETCH(int, massErases);
    QFETCH(int, passwords);
    QFETCH(int, secondPasses);
    RecordingSink sink;
    std::vector<std::string> a = args({flow.toStdString()});
    if (withFile)
        a.push_back(local(writeFile(m_dir, "fw.txt", tiTxt(0x8000, pattern(32, 1)))));
    QCOMPARE(sink.run(a), result);
    QCOMPARE(m_sim->stats().massErases, massErases);
    const std::vector<nvxsim::Command> log = m_sim->commandLog();
    QCOMPARE(countOf(log, 0x10), passwords);
    const QByteArray banner = "No Device reset - BSL called from user program ---------------------\n";
    QCOMPARE(sink.count(banner), secondPasses);
    if (secondPasses) {
        // Pass one: no password, so its version read is refused and prints nothing.
        const int second = int(sink.messages.indexOf(banner));
        auto transmits = [](const QList<QByteArray> &messages) {
            return std::count_if(messages.begin(), messages.end(), [](const QByteArray &m) { return m.startsWith("Transmit "); });
        };
        QCOMPARE(transmits(sink.messages.mid(0, second)), 0);
        QCOMPARE(transmits(sink.messages.mid(second)), 1);
        // After a mass erase the erased device's password opens it, else the file's record.
        QCOMPARE(sink.has("Transmit standard password...\n"), massErases > 0);
        QCOMPARE(sink.count("BSL version: 1.61"), 1);
        QCOMPARE(sink.count("Mass Erase...\n"), massErases ? 2 : 0);
        QCOMPARE(sink.statuses, QVector<int>(massErases, 2).toList()); // no programming: no final status
        const auto firstRead = std::find_if(log.begin(), log.end(), [](const nvxsim::Command &c) { return c.cmd == 0x14; });
        QVERIFY(firstRead != log.end() && !firstRead->acked); // pass one's version read, locked out
        QCOMPARE(std::count_if(log.begin(), log.end(), [](const nvxsim::Command &c) { return c.cmd == 0x14 && c.acked; }), 1L);
    } else {
        QVERIFY(!sink.has("Transmit standard password...\n"));
        QVERIFY(!sink.has("Transmit PSW file \"" + QByteArray(m_passwordFile.c_str()) + "\"...\n"));
        QCOMPARE(sink.messages.last(), QByteArray("ERROR: Communication Error!\n"));
        QCOMPARE(sink.statuses.last(), result);
        QCOMPARE(countOf(log, 0x12), 0);
    }
}

void TestBslRunFlows::fastEraseCheck_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("flow");
    QTest::addColumn<int>("dirtyAt"); // -1: all erased
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("trace");
    QTest::newRow("erased") << 0x0161 << "+f" << -1 << 100 << "1c@8000/240 1c@80f0/80";
    QTest::newRow("one byte programmed in the second block") << 0x0161 << "+f" << 0x8100 << 197 << "1c@8000/240 1c@80f0/80";
    QTest::newRow("one byte programmed in the first block") << 0x0161 << "+fp" << 0x8000 << 197 << "1c@8000/240";
    QTest::newRow("check then program") << 0x0161 << "+fp" << -1 << 100
                                        << "1c@8000/240 1c@80f0/80 12@8000/240 12@80f0/80";
    QTest::newRow("old loader: the patch serves every check")
        << 0x0110 << "+fp" << -1 << 100
        << "12@0220/64 14@0220/64 1a@0220/0 1c@8000/240 1a@0220/0 1c@80f0/80 1a@0220/0 12@8000/240 1a@0220/0 12@80f0/80";
}

void TestBslRunFlows::fastEraseCheck()
{
    QFETCH(int, version);
    QFETCH(QString, flow);
    QFETCH(int, dirtyAt);
    QFETCH(int, result);
    QFETCH(QString, trace);
    startSim(uint16_t(version));
    if (dirtyAt >= 0)
        m_sim->write(uint32_t(dirtyAt), {0x7F});
    RecordingSink sink;
    const QByteArray fwName = writeFile(m_dir, "fw.txt", tiTxt(0x8000, pattern(320, 2))).toLocal8Bit();
    const QString patch = writeFile(m_dir, "patch.txt", tiTxt(0x0220, pattern(64, 8)));
    QCOMPARE(sink.run(args({"-a" + local(patch), flow.toStdString(), fwName.toStdString()})), result);
    QCOMPARE(memoryTrace(m_sim->commandLog()), trace);
    QVERIFY(sink.has("Fast E-Check by file \"" + fwName + "\"...\n"));
    QVERIFY(sink.has("Fast Check starting at 32768, 240 bytes... "));
    if (result == 100) {
        QCOMPARE(sink.count("Error: 7\n"), 0);
        if (flow.contains('p'))
            QCOMPARE(m_sim->read(0x8000, 320), pattern(320, 2));
    } else {
        QCOMPARE(sink.count("Error: 7\n"), 1);
        QCOMPARE(sink.messages.last(), QByteArray("ERROR: Erase check failed!\n"));
        QCOMPARE(m_sim->read(0x8000, 320)[size_t(dirtyAt - 0x8000)], uint8_t(0x7F)); // nothing written
    }
}

void TestBslRunFlows::onePass_data()
{
    QTest::addColumn<QString>("flow");
    QTest::addColumn<int>("preset"); // byte written at 0x8000 before the run, -1: none
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("words");
    QTest::addColumn<QString>("trace");
    QTest::newRow("erase check, program, verify")
        << "+cpv" << -1 << 100 << QByteArray("EraseCheck Program Verify ")
        << "14@8000/240 12@8000/240 14@8000/240 14@80f0/80 12@80f0/80 14@80f0/80";
    QTest::newRow("fast erase check, program, verify")
        << "+fpv" << -1 << 100 << QByteArray("EraseCheckFast Program Verify ")
        << "1c@8000/240 12@8000/240 14@8000/240 1c@80f0/80 12@80f0/80 14@80f0/80";
    QTest::newRow("both checks") << "+cfp" << -1 << 100 << QByteArray("EraseCheck EraseCheckFast Program ")
                                 << "14@8000/240 12@8000/240 14@80f0/80 12@80f0/80";
    QTest::newRow("verify only, mismatch") << "+v" << -1 << 198 << QByteArray("Verify ") << "14@8000/240";
    QTest::newRow("flash bits that cannot be set") << "+pv" << 0x00 << 198 << QByteArray("Program Verify ")
                                                   << "12@8000/240 14@8000/240";
}

void TestBslRunFlows::onePass()
{
    QFETCH(QString, flow);
    QFETCH(int, preset);
    QFETCH(int, result);
    QFETCH(QByteArray, words);
    QFETCH(QString, trace);
    if (preset >= 0)
        m_sim->write(0x8000, {uint8_t(preset)});
    RecordingSink sink;
    const QByteArray fwName = writeFile(m_dir, "fw.txt", tiTxt(0x8000, pattern(320, 2))).toLocal8Bit();
    QCOMPARE(sink.run(args({"-1", flow.toStdString(), fwName.toStdString()})), result);
    QCOMPARE(memoryTrace(m_sim->commandLog()), trace);
    // The words are printed one by one, then the file.
    const int file = int(sink.messages.indexOf("\"" + fwName + "\" ...\n"));
    QVERIFY(file > 0);
    QByteArray printed;
    for (int i = file - 1; i >= 0 && sink.messages[i].endsWith(' ') && !sink.messages[i].contains('\n'); --i)
        printed.prepend(sink.messages[i]);
    QVERIFY2(printed.endsWith(words), printed.constData());
    if (result == 100) {
        QVERIFY(sink.has("320 bytes programmed.\n"));
        QCOMPARE(m_sim->read(0x8000, 320), pattern(320, 2));
    } else {
        const uint8_t expected = pattern(1, 2)[0];
        const QByteArray detail = QByteArray("Verification failed at 32768 (")
                                  + QByteArray::number(preset >= 0 ? preset & expected : 0xFF, 16) + ", "
                                  + QByteArray::number(expected, 16) + ")\n";
        QVERIFY2(sink.has(detail), sink.all().right(300).constData());
        QCOMPARE(sink.messages.last(), QByteArray("ERROR: Verification failed!\n"));
    }
}

void TestBslRunFlows::replyFaultsEndTheRun_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("after");
    QTest::addColumn<QString>("flow");
    QTest::addColumn<int>("result");
    // Frame 1 is the password, frame 2 the identity read, frame 3 the first action.
    QTest::newRow("no reply to the password") << "mute" << 0 << "+" << 106;
    QTest::newRow("no reply to a memory read") << "mute" << 2 << "-r" << 106;
    QTest::newRow("no reply to a write counts as a failed verification") << "mute" << 2 << "+p" << 198;
    QTest::newRow("read reply with L2 != L1") << "length" << 2 << "-r" << 101;
    QTest::newRow("read reply with a command byte") << "command" << 2 << "-r" << 101;
    QTest::newRow("identity reply spoilt: flash is not programmed blind") << "command" << 1 << "+p" << 101;
    QTest::newRow("identity reply spoilt: a read goes on, with no rate change") << "once" << 1 << "-r" << 100;
    QTest::newRow("erase check reply spoilt") << "length" << 2 << "+c" << 101;
}

void TestBslRunFlows::replyFaultsEndTheRun()
{
    QFETCH(QString, fault);
    QFETCH(int, after);
    QFETCH(QString, flow);
    QFETCH(int, result);
    nvxsim::Faults faults;
    (fault == "mute"     ? faults.muteFrameAfterFrames
     : fault == "length" ? faults.badReplyLengthAfterFrames
     : fault == "once"   ? faults.corruptOneReplyAfterFrames
                         : faults.badReplyCommandAfterFrames) = after;
    m_sim->setFaults(faults);
    RecordingSink sink;
    const QString out = m_dir.filePath("out.txt");
    QFile::remove(out);
    const QString fw = writeFile(m_dir, "fw.txt", tiTxt(0x8000, pattern(32, 3)));
    std::vector<std::string> a = args({});
    if (flow == "-r") {
        a.insert(a.end(), {"-s2", "-r1000", "100", local(out)});
    } else {
        a.push_back(flow.toStdString());
        a.push_back(local(fw));
    }
    QCOMPARE(sink.run(a), result);
    QCOMPARE(sink.has("BSL version: 1.61"), after >= 2);
    QCOMPARE(countOf(m_sim->commandLog(), 0x20), flow == "-r" && after >= 2 ? 1 : 0);
    if (result == 100) {
        QVERIFY(flow == "-r" ? QFile::exists(out) : m_sim->read(0x8000, 32) == pattern(32, 3));
        return;
    }
    if (after == 1)
        QCOMPARE(countOf(m_sim->commandLog(), 0x12), 0);
    QCOMPARE(sink.messages.last(), QByteArray(result == 198 ? "ERROR: Verification failed!\n" : "ERROR: Communication Error!\n"));
    QVERIFY(!QFile::exists(out));
    QCOMPARE(sink.statuses.isEmpty() ? 0 : sink.statuses.last(), flow == "+p" ? result : 0);
}

QTEST_GUILESS_MAIN(TestBslRunFlows)
#include "tst_bslrunflows.moc"
