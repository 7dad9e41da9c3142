// TI-TXT text held in memory: what the parser takes and refuses, and that
// formatted text reads back to the same blocks.

#include "scramblekey.h"
#include "titxtimage.h"

#include <QtTest>

namespace {

// "1000:010203 2000:04": blocks in order, bytes in hex.
QString describe(const titxt::Image &image)
{
    QStringList blocks;
    for (const titxt::Block &block : image)
        blocks << QString::number(block.address, 16).toUpper() + QLatin1Char(':') + block.bytes.toHex().toUpper();
    return blocks.join(QLatin1Char(' '));
}

QByteArray values(int count, int first = 0)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes += char(first + i);
    return bytes;
}

QByteArray valueLine(int count, int first = 0)
{
    return values(count, first).toHex(' ').toUpper() + '\n';
}

} // namespace

Q_DECLARE_METATYPE(titxt::Image)

class TiTxtImageTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("blocks");    // empty: refused
        QTest::addColumn<QString>("reasonPart"); // refused: part of the reason
        QTest::addColumn<QByteArray>("rest");   // accepted: the text after the end line

        const QByteArray two = "@1000\n01 02\n03\n@2000\n04\nq\n";
        QTest::newRow("blocks follow the text") << two << "1000:010203 2000:04" << "" << QByteArray();
        QTest::newRow("scrambled") << bsl::scrambleText(two) << "1000:010203 2000:04" << "" << QByteArray();
        QTest::newRow("odd address, gap, address given twice")
            << QByteArray("@1101\n01\n@1104\n02\n@1101\n03\nq\n") << "1101:01 1104:02 1101:03" << "" << QByteArray();
        QTest::newRow("lower case, CR LF, blank lines, text after the end line")
            << QByteArray("@fffe\r\n\r\nab cd\r\nq\r\n@1000\r\nzz\r\n") << "FFFE:ABCD" << ""
            << QByteArray("@1000\r\nzz\r\n");
        const QString sixteen = QString::fromLatin1(values(16).toHex().toUpper());
        QTest::newRow("one block across 64 KiB")
            << "@FFF8\n" + valueLine(16) + "q\n" << "FFF8:" + sixteen << "" << QByteArray();
        QTest::newRow("up to the top of 20 bits")
            << "@FFFF0\n" + valueLine(16) + "q\n" << "FFFF0:" + sixteen << "" << QByteArray();

        QTest::newRow("missing end line") << QByteArray("@1000\n01 02\n") << "" << "no end line" << QByteArray();
        QTest::newRow("odd digits") << QByteArray("@1000\n01 0\nq\n") << "" << "not TI-TXT" << QByteArray();
        QTest::newRow("address beyond 20 bits")
            << QByteArray("@100000\n01\nq\n") << "" << "beyond 20 bits" << QByteArray();
        QTest::newRow("data past the top of 20 bits")
            << "@FFFF8\n" + valueLine(16) + "q\n" << "" << "past the 20-bit" << QByteArray();
        QTest::newRow("binary") << QByteArray("@1000\n01\nq\n\0", 13) << "" << "not a text file" << QByteArray();
    }

    void parse()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, blocks);
        QFETCH(QString, reasonPart);
        QFETCH(QByteArray, rest);
        titxt::Image image;
        QString reason;
        int end = -1;
        const bool ok = titxt::parse(text, &image, &reason, &end);
        QVERIFY2(ok == !blocks.isEmpty(), qPrintable(reason));
        if (ok) {
            QCOMPARE(describe(image), blocks);
            QCOMPARE(text.mid(end), rest);
        } else {
            QVERIFY2(reason.contains(reasonPart), qPrintable(reason));
        }
    }

    void formatReadsBack_data()
    {
        QTest::addColumn<titxt::Image>("image");
        QTest::addColumn<QByteArray>("lineEnd");
        QTest::addColumn<QByteArray>("text");

        QTest::newRow("sparse blocks, CR LF")
            << titxt::Image{{0x0200, values(17, 0xF0)}, {0xFFFE, QByteArray("\x00\x11", 2)}} << QByteArray("\r\n")
            << QByteArray("@0200\r\nF0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF\r\n00\r\n@FFFE\r\n00 11\r\nq\r\n");
        QTest::newRow("above 64 KiB, full lines") << titxt::Image{{0x12345, values(32, 0xA0)}} << QByteArray("\n")
                                                  << "@12345\n" + valueLine(16, 0xA0) + valueLine(16, 0xB0) + "q\n";
        QTest::newRow("text order kept") << titxt::Image{{0x1082, values(2)}, {0x1080, values(2, 0xAA)}}
                                         << QByteArray("\n") << QByteArray("@1082\n00 01\n@1080\nAA AB\nq\n");
    }

    void formatReadsBack()
    {
        QFETCH(titxt::Image, image);
        QFETCH(QByteArray, lineEnd);
        QFETCH(QByteArray, text);
        QCOMPARE(titxt::format(image, lineEnd), text);
        titxt::Image back;
        QString reason;
        QVERIFY2(titxt::parse(text, &back, &reason), qPrintable(reason));
        QCOMPARE(describe(back), describe(image));
    }
};

QTEST_GUILESS_MAIN(TiTxtImageTest)
#include "tst_titxtimage.moc"
