// TI-TXT without a target: descrambling, the pre-erase check, the writer.

#include "memoryread.h"
#include "scramblekey.h"
#include "simsupport.h"
#include "titext.h"

#include <QtTest>

#include <cstring>

class TestTiText : public QObject
{
    Q_OBJECT

private slots:
    void descrambledLinesMatchWholeText_data();
    void descrambledLinesMatchWholeText();
    void plainTextPassesUnchanged();
    void dataLineValues_data();
    void dataLineValues();
    void checkBeforeErase_data();
    void checkBeforeErase();
    void writerText_data();
    void writerText();
    void writerWithoutFile();
};

void TestTiText::descrambledLinesMatchWholeText_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("LF") << tiTxt(0x1000, pattern(100, 1));
    QTest::newRow("CR LF") << tiTxt(0x1000, pattern(100, 2), "\r\n");
    // The last line has no LF: the key must stop with the file's bytes.
    QTest::newRow("no LF at the end") << QByteArray("@8000\n01 02 03 04\nq");
    // Lines longer than the reader takes are read in pieces.
    QTest::newRow("overlong line") << "@8000\n" + QByteArray("AB ").repeated(60) + "\nq\n";
}

void TestTiText::descrambledLinesMatchWholeText()
{
    QFETCH(QByteArray, plain);
    QTemporaryDir dir;
    const QString path = writeFile(dir, "s.txt", bsl::scrambleText(plain));
    FILE *f = std::fopen(path.toLocal8Bit().constData(), "rb");
    QVERIFY(f);
    int key = 0;
    QByteArray out;
    char line[bsl::kLineBufferSize];
    for (;;) {
        std::memset(line, 0x7F, sizeof line); // junk after the line must not count
        if (!std::fgets(line, bsl::kMaxTiTextLine + 1, f))
            break;
        bsl::descrambleLine(line, key);
        out += line;
    }
    std::fclose(f);
    QCOMPARE(out, plain);
}

void TestTiText::plainTextPassesUnchanged()
{
    char line[bsl::kLineBufferSize] = "@FFE0\r\n";
    int key = 17;
    bsl::descrambleLine(line, key);
    QCOMPARE(QByteArray(line), QByteArray("@FFE0\r\n"));
    QCOMPARE(key, 24);
}

void TestTiText::dataLineValues_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("values"); // hex, empty: not a data line
    QTest::newRow("bare LF keeps the last value") << QByteArray("AA BB CC\n") << QByteArray("AABBCC");
    QTest::newRow("CR LF") << QByteArray("AA BB CC\r\n") << QByteArray("AABBCC");
    QTest::newRow("space LF") << QByteArray("AA BB CC \n") << QByteArray("AABBCC");
    QTest::newRow("lower case") << QByteArray("0a 1b ff\n") << QByteArray("0A1BFF");
    QTest::newRow("no line end") << QByteArray("01 02") << QByteArray("0102");
    QTest::newRow("odd digit") << QByteArray("AA B\n") << QByteArray();
    QTest::newRow("two spaces") << QByteArray("AA  BB\n") << QByteArray();
    QTest::newRow("not hex") << QByteArray("AA GG\n") << QByteArray();
    QTest::newRow("three digits") << QByteArray("AAB CC\n") << QByteArray();
}

void TestTiText::dataLineValues()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, values);
    uint8_t out[64] = {};
    const int n = bsl::parseDataLine(line.constData(), out, 64);
    if (values.isEmpty()) {
        QCOMPARE(n, -1);
        return;
    }
    QCOMPARE(QByteArray(reinterpret_cast<char *>(out), n).toHex().toUpper(), values);
}

void TestTiText::checkBeforeErase_data()
{
    QTest::addColumn<QByteArray>("file"); // empty: the file does not exist
    QTest::addColumn<QByteArray>("buffer"); // null: no buffer text
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("named");

    const QByteArray good = firmwareText(64, 1, 2);
    QTest::newRow("plain") << good << QByteArray() << 0 << "";
    QTest::newRow("scrambled") << bsl::scrambleText(good) << QByteArray() << 0 << "";
    QTest::newRow("CR LF without q") << tiTxt(0x8000, pattern(40, 3), "\r\n", false) << QByteArray() << 0 << "";
    QTest::newRow("with buffer") << good << tiTxt(0x1000, pattern(256, 5)) << 0 << "";
    QTest::newRow("missing file") << QByteArray() << QByteArray() << 96 << "file";
    QTest::newRow("not TI-TXT") << QByteArray("<html>Not found</html>\n") << QByteArray() << 96 << "file";
    QTest::newRow("no data") << QByteArray("@8000\nq\n") << QByteArray() << 96 << "file";
    QTest::newRow("bad address") << QByteArray("@80G0\n01 02\nq\n") << QByteArray() << 96 << "file";
    QTest::newRow("cut download") << good.left(good.size() / 2 - 1) + "0" << QByteArray() << 96 << "file";
    QTest::newRow("scrambled with wrong key start") << bsl::scrambleText(" " + good).mid(1) << QByteArray() << 96
                                                   << "file";
    QTest::newRow("bad buffer") << good << QByteArray("@1000\nnonsense\nq\n") << 96 << "buffer";
    QTest::newRow("empty buffer") << good << QByteArray("") << 96 << "buffer";
}

void TestTiText::checkBeforeErase()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, buffer);
    QFETCH(int, code);
    QFETCH(QString, named);
    QTemporaryDir dir;
    const QString path = file.isEmpty() ? dir.filePath("absent.txt") : writeFile(dir, "fw.txt", file);
    const QByteArray local = path.toLocal8Bit();
    std::string failed;
    QCOMPARE(bsl::checkTIText(local.constData(), buffer.isNull() ? nullptr : buffer.constData(), &failed), code);
    if (named == "file")
        QCOMPARE(QString::fromStdString(failed), path);
    else if (named == "buffer")
        QCOMPARE(QString::fromStdString(failed), QString("buffer"));
}

void TestTiText::writerText_data()
{
    QTest::addColumn<QList<int>>("blocks"); // address, bytes, address, bytes...
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("one full line") << QList<int>{0x1000, 16}
                                   << QByteArray("@1000\n00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\nq\n");
    QTest::newRow("partial line keeps its space") << QList<int>{0x200, 4} << QByteArray("@0200\n00 01 02 03 \nq\n");
    QTest::newRow("following block continues the line")
        << QList<int>{0x1000, 4, 0x1004, 4} << QByteArray("@1000\n00 01 02 03 00 01 02 03 \nq\n");
    QTest::newRow("gap starts a new address line")
        << QList<int>{0x1000, 2, 0x2000, 2} << QByteArray("@1000\n00 01 \n@2000\n00 01 \nq\n");
    QTest::newRow("address above 64 KiB") << QList<int>{0x12000, 2} << QByteArray("@12000\n00 01 \nq\n");
}

void TestTiText::writerText()
{
    QFETCH(QList<int>, blocks);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    const QByteArray path = dir.filePath("out.txt").toLocal8Bit();
    bsl::TiTxtWriter writer;
    QVERIFY(writer.tiTxtOpen(path.constData()));
    for (int i = 0; i < blocks.size(); i += 2) {
        std::vector<uint8_t> bytes(size_t(blocks[i + 1]));
        for (size_t j = 0; j < bytes.size(); ++j)
            bytes[j] = uint8_t(j);
        QVERIFY(writer.tiTxtWriteBlock(uint32_t(blocks[i]), uint16_t(bytes.size() / 2), bytes.data()));
    }
    QVERIFY(writer.tiTxtClose());
    QFile f(QString::fromLocal8Bit(path));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), expected);
}

void TestTiText::writerWithoutFile()
{
    const uint8_t bytes[2] = {1, 2};
    bsl::TiTxtWriter writer;
    QVERIFY(!writer.tiTxtWriteBlock(0x1000, 1, bytes));
    QVERIFY(!writer.tiTxtClose());
    QVERIFY(!writer.tiTxtOpen("/nonexistent-dir/out.txt"));
    QVERIFY(!writer.tiTxtClose());
}

QTEST_GUILESS_MAIN(TestTiText)
#include "tst_titext.moc"
