#include "childenvironment.h"
#include "scramblekey.h"
#include "testfiles.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TiTxtScrambleTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString writeFile(const QString &name, const QByteArray &bytes) { return nvxtest::writeFile(dir.filePath(name), bytes); }

    static int run(const QStringList &args)
    {
        return nvxtest::runChild(QStringLiteral(TITXT_SCRAMBLE_PROGRAM), args, 10000);
    }

private slots:
    void roundTripRestoresEveryByte_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::newRow("password record, CR LF")
            << QByteArray("@FFE0\r\n40 11 42 11 44 11 46 11 48 11 4A 11 4C 11 4E 11\r\nq\r\n");
        QTest::newRow("longer than the key")
            << QByteArray("@1100\n").append(QByteArray("31 40 00 0A B2 40 80 5A 20 01 FF 3F 00 13 00 13 \n").repeated(9)).append("q\n");
        QTest::newRow("empty") << QByteArray();
    }

    void roundTripRestoresEveryByte()
    {
        QFETCH(QByteArray, plain);
        const QString in = writeFile(QStringLiteral("plain.txt"), plain);
        const QString scrambled = dir.filePath(QStringLiteral("scrambled.txt"));
        const QString back = dir.filePath(QStringLiteral("back.txt"));

        QCOMPARE(run({in, scrambled}), 0);
        QCOMPARE(run({QStringLiteral("--unscramble"), scrambled, back}), 0);
        QCOMPARE(nvxtest::readFile(back), plain);
        QCOMPARE(nvxtest::readFile(scrambled), bsl::scrambleText(plain));
    }

    void scrambledFormKeepsSeparatorsPlainAndMarksTheRest()
    {
        const QByteArray plain("@FFDC\r\n01 0A\r\n@FFE0\r\n40 11 42 11\r\nq\r\n");
        const QString in = writeFile(QStringLiteral("p.txt"), plain);
        const QString out = dir.filePath(QStringLiteral("s.txt"));
        QCOMPARE(run({in, out}), 0);

        const QByteArray scrambled = nvxtest::readFile(out);
        QCOMPARE(scrambled.size(), plain.size());
        for (int i = 0; i < plain.size(); ++i) {
            const char c = plain.at(i);
            const auto s = static_cast<unsigned char>(scrambled.at(i));
            if (c == ' ' || c == '\r' || c == '\n')
                QCOMPARE(s, static_cast<unsigned char>(c));
            else
                QVERIFY2(s & 0x80, qPrintable(QStringLiteral("byte %1 not marked").arg(i)));
        }
    }

    void badUseFails_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no arguments") << QStringList();
        QTest::newRow("one argument") << QStringList{QStringLiteral("a")};
        QTest::newRow("three files") << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
        QTest::newRow("missing input") << QStringList{QStringLiteral("/nonexistent/in.txt"), QStringLiteral("out.txt")};
    }

    void badUseFails()
    {
        QFETCH(QStringList, args);
        QVERIFY(run(args) != 0);
    }
};

QTEST_GUILESS_MAIN(TiTxtScrambleTest)
#include "tst_titxtscramble.moc"
