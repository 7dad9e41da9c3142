// Command line: options, limits, flow specifiers, help, and what a run keeps.

#include "bslengine.h"
#include "enginebench.h"

#include <QtTest>

namespace {

// Parses into what the sink keeps, as its process's next command line.
int parse(RecordingSink &sink, const QStringList &args)
{
    std::vector<std::string> texts = {"BSLENGINE"};
    for (const QString &a : args)
        texts.push_back(a.toStdString());
    std::vector<char *> argv;
    for (std::string &t : texts)
        argv.push_back(&t[0]);
    return bsl::parseCommandLine(int(argv.size()), argv.data(), sink.kept, sink);
}

QString flags(const bsl::ActionFlags &a)
{
    QString s;
    s += a.massErase ? "e" : "";
    s += a.eraseCheck ? "c" : "";
    s += a.fastEraseCheck ? "f" : "";
    s += a.program ? "p" : "";
    s += a.verify ? "v" : "";
    s += a.reset ? "r" : "";
    s += a.userCalled ? "u" : "";
    s += a.restoreInfoA ? "a" : "";
    s += a.invokeBsl ? "I" : "";
    s += a.readMemory ? "R" : "";
    s += a.eraseSegment ? "S" : "";
    s += a.onePass ? "1" : "";
    s += a.extendedMemory ? "X" : "";
    s += a.changeBaud ? "B" : "";
    return s;
}

} // namespace

class TestBslCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void frameDataLimits_data();
    void frameDataLimits();
    void massEraseCycles_data();
    void massEraseCycles();
    void flowSpecifiers_data();
    void flowSpecifiers();
    void optionValues();
    void passwordIndexForms_data();
    void passwordIndexForms();
    void helpEndsRunWithOne_data();
    void helpEndsRunWithOne();
    void perRunFieldsResetOthersKept();
    void baudDigitOnly();
};

void TestBslCommandLine::frameDataLimits_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("300 is limited") << "300" << 240;
    QTest::newRow("250 rounds down") << "250" << 240;
    QTest::newRow("20 gives 16") << "20" << 16;
    QTest::newRow("5 raised to 16") << "5" << 16;
    QTest::newRow("negative counts as large") << "-5" << 240;
    QTest::newRow("100 rounds down") << "100" << 96;
    QTest::newRow("leading zero ignored") << "0" << 128;
    QTest::newRow("leading zero with digits ignored") << "064" << 128;
}

void TestBslCommandLine::frameDataLimits()
{
    QFETCH(QString, value);
    QFETCH(int, expected);
    RecordingSink sink;
    sink.kept.maxFrameData = 128;
    QCOMPARE(parse(sink, {"-f" + value}), 0);
    QCOMPARE(int(sink.kept.maxFrameData), expected);
    const QByteArray text = "Max. number of data bytes within one frame set to " + QByteArray::number(expected) + ".\n";
    QCOMPARE(sink.has(text), !value.startsWith('0'));
}

void TestBslCommandLine::massEraseCycles_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("0 changes nothing") << "0" << 7;
    QTest::newRow("-5 sets 1") << "-5" << 1;
    QTest::newRow("3") << "3" << 3;
}

void TestBslCommandLine::massEraseCycles()
{
    QFETCH(QString, value);
    QFETCH(int, expected);
    RecordingSink sink;
    sink.kept.massEraseCycles = 7;
    QCOMPARE(parse(sink, {"-m" + value}), 0);
    QCOMPARE(sink.kept.massEraseCycles, expected);
    QCOMPARE(sink.has("Number of mass erase cycles set to " + QByteArray::number(expected) + ".\n"), value != "0");
}

void TestBslCommandLine::flowSpecifiers_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("illegal");
    QTest::newRow("default, no mass erase") << QStringList{"f.txt"} << "cpvrI" << false;
    QTest::newRow("p alone") << QStringList{"+p"} << "pI" << false;
    QTest::newRow("x alone") << QStringList{"+x"} << "" << false;
    QTest::newRow("upper case") << QStringList{"+EPR"} << "eprI" << false;
    QTest::newRow("a adds mass erase") << QStringList{"+a"} << "eaI" << false;
    QTest::newRow("illegal letter goes on") << QStringList{"+qp"} << "pI" << true;
    QTest::newRow("second specifier replaces") << QStringList{"+ecpvr", "+f"} << "fI" << false;
    QTest::newRow("read memory") << QStringList{"-r1000", "100", "out.txt"} << "rIR" << false;
    QTest::newRow("erase segment") << QStringList{"+p", "-e1100", "skipped"} << "IS" << false;
    QTest::newRow("one pass, extended, baud") << QStringList{"-1", "-x", "-s2", "+c"} << "cI1XB" << false;
    QTest::newRow("illegal option") << QStringList{"-q", "+v"} << "vI" << true;
}

void TestBslCommandLine::flowSpecifiers()
{
    QFETCH(QStringList, args);
    QFETCH(QString, expected);
    QFETCH(bool, illegal);
    RecordingSink sink;
    QCOMPARE(parse(sink, args), 0);
    QCOMPARE(flags(sink.kept.actions), expected);
    const bool sawIllegal = sink.has("ERROR: Illegal action specified!\n")
        || sink.has("ERROR: Illegal command line parameter!\n");
    QCOMPARE(sawIllegal, illegal);
}

void TestBslCommandLine::optionValues()
{
    RecordingSink sink;
    QCOMPARE(parse(sink, {"-cttyUSB3", "-aPATCH2.TXT", "-bLOADER.TXT", "-y", "@1000\nAA\nq\n", "-r12000", "1F0",
                          "mem.txt", "first.txt", "", "last.txt"}),
             0);
    QCOMPARE(sink.kept.portName, std::string("\\\\.\\ttyUSB3"));
    QCOMPARE(sink.kept.patchFile, std::string("PATCH2.TXT"));
    QCOMPARE(sink.kept.loaderFile.value_or("none"), std::string("LOADER.TXT"));
    QCOMPARE(sink.kept.bufferText.value_or("none"), std::string("@1000\nAA\nq\n"));
    QCOMPARE(sink.kept.start, 0x12000u);
    QCOMPARE(sink.kept.length, 0x1F0u);
    QCOMPARE(sink.kept.readFile, std::string("mem.txt"));
    QCOMPARE(sink.kept.programFile.value_or("none"), std::string("last.txt"));

    QCOMPARE(parse(sink, {"-e1A00", "ignored.txt"}), 0);
    QCOMPARE(sink.kept.start, 0x1A00u);
    QVERIFY(!sink.kept.programFile);

    // A name too long for the port is refused whole, never cut to another name.
    const std::string longName(150, 'x');
    QCOMPARE(sink.run({"-c" + longName, "+r"}), 1);
    QCOMPARE(sink.kept.portName, "\\\\.\\" + longName);
    QVERIFY(sink.has("ERROR: Opening COM-Port failed!\n"));
}

void TestBslCommandLine::passwordIndexForms_data()
{
    QTest::addColumn<QString>("index");
    QTest::addColumn<int>("expected");
    QTest::newRow("decimal") << "12" << 12;
    QTest::newRow("hex") << "0x10" << 16;
    QTest::newRow("octal") << "010" << 8;
}

void TestBslCommandLine::passwordIndexForms()
{
    QFETCH(QString, index);
    QFETCH(int, expected);
    RecordingSink sink;
    QCOMPARE(parse(sink, {"-ppw.txt", index, "fw.txt"}), 0);
    QCOMPARE(sink.kept.passwordIndex, expected);
    QCOMPARE(sink.kept.passwordFile.value_or("none"), std::string("pw.txt"));
    QCOMPARE(sink.kept.programFile.value_or("none"), std::string("fw.txt"));
}

void TestBslCommandLine::helpEndsRunWithOne_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("-h") << QStringList{"-h", "fw.txt"};
    QTest::newRow("-H") << QStringList{"-H"};
}

void TestBslCommandLine::helpEndsRunWithOne()
{
    QFETCH(QStringList, args);
    RecordingSink sink;
    std::vector<std::string> texts;
    for (const QString &a : args)
        texts.push_back(a.toStdString());
    // No port may be opened: the default port does not exist here anyway,
    // and its failure would print its own message.
    QCOMPARE(sink.run(texts), 1);
    const int helpStart = int(sink.messages.indexOf("BSLENGINE [-h][-c{port}][-s{num}][-p{file}][-w][-1][-m{num}][+ecpvruw] {file}\n"));
    QVERIFY(helpStart > 0);
    QCOMPARE(sink.messages.size() - helpStart, 34);
    QCOMPARE(sink.messages.last(), QByteArray("Press any key to exit... "));
    QCOMPARE(sink.messages.at(helpStart + 31), QByteArray("Default Program Flow Specifiers (if not explicitly given): +ecpvr\n"));
    QVERIFY(!sink.has("ERROR: Opening COM-Port failed!\n"));
    QVERIFY(sink.statuses.isEmpty());
}

void TestBslCommandLine::perRunFieldsResetOthersKept()
{
    RecordingSink sink;
    QCOMPARE(parse(sink, {"-ppw.txt", "4", "-y", "buffer text", "-aP.TXT", "-f64", "-m3", "-s1", "-cCOM7", "-r1000",
                          "10", "out.txt", "fw.txt"}),
             0);
    QCOMPARE(parse(sink, {"+r"}), 0);
    const bsl::EngineSettings &s = sink.kept;
    QVERIFY(!s.passwordFile);
    QVERIFY(!s.bufferText);
    QVERIFY(!s.programFile);
    QCOMPARE(s.patchFile, std::string("PATCH.TXT"));
    QCOMPARE(flags(s.actions), QString("rI"));
    QCOMPARE(s.passwordIndex, 4);
    QCOMPARE(int(s.maxFrameData), 64);
    QCOMPARE(s.massEraseCycles, 3);
    QCOMPARE(int(s.baudIndex), 1);
    QCOMPARE(s.portName, std::string("\\\\.\\COM7"));
    QCOMPARE(s.start, 0x1000u);
    QCOMPARE(s.length, 0x10u);
    QCOMPARE(s.readFile, std::string("out.txt"));
}

void TestBslCommandLine::baudDigitOnly()
{
    RecordingSink sink;
    sink.kept.baudIndex = 0;
    QCOMPARE(parse(sink, {"-sx"}), 0);
    QVERIFY(!sink.kept.actions.changeBaud);
    QCOMPARE(parse(sink, {"-s7"}), 0);
    QVERIFY(sink.kept.actions.changeBaud);
    QCOMPARE(int(sink.kept.baudIndex), 7);
}

QTEST_GUILESS_MAIN(TestBslCommandLine)
#include "tst_bslcommandline.moc"
