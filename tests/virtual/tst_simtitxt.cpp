// TI-TXT loading and dumping of the virtual instrument's memory (no port needed).
#include "simulator.h"

#include <QtTest>

using nvxsim::Simulator;

class TestSimTiTxt : public QObject {
    Q_OBJECT

private slots:
    void loadsAnyLineEnds_data();
    void loadsAnyLineEnds();
    void rejectsMalformedTextWithoutLoading_data();
    void rejectsMalformedTextWithoutLoading();
    void dumpLoadsBackToTheSameMemory();
    void dumpSkipsErasedRows();
};

void TestSimTiTxt::loadsAnyLineEnds_data()
{
    QTest::addColumn<QString>("separator");
    QTest::newRow("LF") << "\n";
    QTest::newRow("CR LF") << "\r\n";
    QTest::newRow("CR") << "\r";
}

void TestSimTiTxt::loadsAnyLineEnds()
{
    QFETCH(QString, separator);
    const QStringList lines = {"@1000", "01 02 0a 0B", "", "@12000", "  FE\tDC  ", "q"};
    Simulator sim;
    QVERIFY(sim.loadTiTxt(lines.join(separator).toStdString()));
    QCOMPARE(sim.read(0x1000, 5), (std::vector<uint8_t>{0x01, 0x02, 0x0A, 0x0B, 0xFF}));
    QCOMPARE(sim.read(0x12000, 2), (std::vector<uint8_t>{0xFE, 0xDC}));
    QCOMPARE(sim.read(0x2000, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
}

void TestSimTiTxt::rejectsMalformedTextWithoutLoading_data()
{
    QTest::addColumn<QString>("text");
    // Each text has a good section at 0x2000 first or last: none of it may land.
    QTest::newRow("data before an address") << "01 02\n@2000\n77\nq\n";
    QTest::newRow("not hexadecimal") << "@2000\n77\n@1000\n01 G2\nq\n";
    QTest::newRow("three digits") << "@2000\n77\n@1000\n01 002\nq\n";
    QTest::newRow("address not hexadecimal") << "@2000\n77\n@10X0\n01\nq\n";
    QTest::newRow("address beyond 20 bits") << "@2000\n77\n@100000\n01\nq\n";
    QTest::newRow("data after q") << "@2000\n77\nq\n02\n";
}

void TestSimTiTxt::rejectsMalformedTextWithoutLoading()
{
    QFETCH(QString, text);
    Simulator sim;
    sim.write(0x1000, {0x55});
    QVERIFY(!sim.loadTiTxt(text.toStdString()));
    QCOMPARE(sim.read(0x1000, 1), std::vector<uint8_t>{0x55});
    QCOMPARE(sim.read(0x2000, 1), std::vector<uint8_t>{0xFF});
}

void TestSimTiTxt::dumpLoadsBackToTheSameMemory()
{
    Simulator original;
    nvxsim::loadDefaultInstrument(original, 4, 2);
    original.write(0x8001, {0x00, 0x11, 0x22}); // odd start, crossing rows below
    original.write(0x800F, {0x33, 0x44});
    Simulator copy;
    QVERIFY(copy.loadTiTxt(original.dumpTiTxt(0x1000, 0x100)));
    QVERIFY(copy.loadTiTxt(original.dumpTiTxt(0x1100, 0xEF00, true)));
    QCOMPARE(copy.read(0x1000, 0xF000), original.read(0x1000, 0xF000));
    const std::string dump = original.dumpTiTxt(0x1000, 0x100);
    QVERIFY(dump.rfind("@1000\n", 0) == 0);
    QVERIFY(dump.size() >= 2 && dump.compare(dump.size() - 2, 2, "q\n") == 0);
}

void TestSimTiTxt::dumpSkipsErasedRows()
{
    Simulator sim;
    sim.write(0x1001, {0xA1});
    sim.write(0x1023, {0xB2});
    const QString row1 = "FF A1" + QString(" FF").repeated(14) + "\n";
    const QString row3 = "FF FF FF B2" + QString(" FF").repeated(12) + "\n";
    QCOMPARE(QString::fromStdString(sim.dumpTiTxt(0x1000, 0x30, true)),
             "@1000\n" + row1 + "@1020\n" + row3 + "q\n");
    QCOMPARE(QString::fromStdString(sim.dumpTiTxt(0x1000, 0x30)),
             "@1000\n" + row1 + "FF" + QString(" FF").repeated(15) + "\n" + row3 + "q\n");
    QCOMPARE(QString::fromStdString(sim.dumpTiTxt(0x1020, 5)), QString("@1020\nFF FF FF B2 FF\nq\n"));
}

QTEST_GUILESS_MAIN(TestSimTiTxt)
#include "tst_simtitxt.moc"
