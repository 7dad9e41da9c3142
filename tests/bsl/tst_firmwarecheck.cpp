#include "firmwarecheck.h"
#include "scramblekey.h"

#include <QTemporaryDir>
#include <QtTest>

using bsl::checkFirmwareFile;
using bsl::checkFirmwareText;

namespace {

// A small, sound firmware: code at 0x1100 that the reset vector points at,
// a version record and the vector table, CR LF line ends.
QByteArray goodFirmware()
{
    return "@1100\r\n"
           "31 40 00 0A B2 40 80 5A 20 01 3F 40 0A 01 FF 3F\r\n"
           "@FFDC\r\n"
           "01 0A\r\n"
           "@FFE0\r\n"
           "00 11 00 11 00 11 00 11 00 11 00 11 00 11 00 11\r\n"
           "00 11 00 11 00 11 00 11 00 11 00 11 00 11 00 11\r\n"
           "q\r\n";
}

QByteArray withVectors(const QByteArray &head, const QByteArray &resetVector = "00 11")
{
    return head + "@FFFE\n" + resetVector + "\nq\n";
}

} // namespace

class FirmwareCheckTest : public QObject
{
    Q_OBJECT

private slots:
    void soundFirmwarePasses_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("CR LF") << goodFirmware();
        QTest::newRow("bare LF") << QByteArray(goodFirmware()).replace("\r\n", "\n");
        QTest::newRow("scrambled") << bsl::scrambleText(goodFirmware());
        QTest::newRow("lower-case hex and blank lines") << QByteArray("@1100\n\nab cd\n@fffe\n00 11\n\nq\n");
        QTest::newRow("text after the end line is ignored") << goodFirmware() + "<html>garbage\n";
        QTest::newRow("last byte of flash") << withVectors("@1100\n01 02\n@FFFC\nFF FF\n");
    }

    void soundFirmwarePasses()
    {
        QFETCH(QByteArray, text);
        const bsl::FirmwareCheck check = checkFirmwareText(text);
        QVERIFY2(check.ok, qPrintable(check.reason));
        QVERIFY(check.reason.isEmpty());
    }

    void faultyFirmwareIsRefusedSayingWhy_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("reasonPart");
        QTest::newRow("empty") << QByteArray() << "no end line";
        QTest::newRow("HTML error page")
            << QByteArray("<!DOCTYPE html>\n<html><body>404 Not Found</body></html>\n") << "not TI-TXT";
        QTest::newRow("UTF-8 HTML page") << QByteArray("<html>\xc3\xa9t\xc3\xa9</html>\n") << "not TI-TXT";
        QTest::newRow("binary") << QByteArray("\x7f" "ELF\x00\x01\n", 7) << "not a text file";
        QTest::newRow("no end line") << QByteArray(goodFirmware()).replace("q\r\n", "") << "no end line";
        QTest::newRow("cut mid-value") << goodFirmware().left(30) << "TI-TXT";
        QTest::newRow("information memory") << withVectors("@1000\n01 02\n@1100\n00\n") << "outside the main flash";
        QTest::newRow("RAM") << withVectors("@0200\n01 02\n@1100\n00\n") << "outside the main flash";
        QTest::newRow("data before any address") << withVectors("01 02\n@1100\n00\n") << "outside the main flash";
        QTest::newRow("runs past 0xFFFF") << QByteArray("@1100\n00\n@FFFE\n00 11 22\nq\n") << "outside the main flash";
        QTest::newRow("above 64 KiB") << withVectors("@1100\n00\n@10000\n01\n") << "outside the main flash";
        QTest::newRow("no reset vector") << QByteArray("@1100\n00 01\n@FFE0\n00 11\nq\n") << "reset vector";
        QTest::newRow("half a reset vector") << QByteArray("@1100\n00 01\n@FFFE\n00\nq\n") << "reset vector";
        QTest::newRow("erased reset vector") << withVectors("@1100\n00 01\n", "FF FF") << "reset vector";
        QTest::newRow("odd reset vector") << withVectors("@1100\n00 01\n", "01 11") << "reset vector";
        QTest::newRow("reset vector into nothing") << withVectors("@1100\n00 01\n", "00 20") << "reset vector";
        QTest::newRow("address written twice") << withVectors("@1100\n00 01 02\n@1102\n05\n") << "twice";
        QTest::newRow("seventeen values") << withVectors("@1100\n" + QByteArray("00 ").repeated(16) + "00\n") << "not TI-TXT";
        QTest::newRow("two spaces") << withVectors("@1100\n00  01\n") << "not TI-TXT";
        QTest::newRow("three-digit value") << withVectors("@1100\n000 01\n") << "not TI-TXT";
        QTest::newRow("bad address line") << withVectors("@11G0\n00\n") << "address line";
        QTest::newRow("over-long line") << withVectors("@1100\n00" + QByteArray(130, ' ') + "\n") << "longer than";
        QTest::newRow("only an end line") << QByteArray("q\n") << "no data";
    }

    void faultyFirmwareIsRefusedSayingWhy()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, reasonPart);
        const bsl::FirmwareCheck check = checkFirmwareText(text);
        QVERIFY(!check.ok);
        QVERIFY2(check.reason.contains(reasonPart), qPrintable(check.reason));
        QVERIFY(!check.reason.contains(QLatin1Char('\n')));
    }

    // A download cut short anywhere before its end line must never pass.
    void everyTruncationIsRefused()
    {
        for (const QByteArray &full : {goodFirmware(), bsl::scrambleText(goodFirmware())}) {
            const int endLine = full.size() - 3; // "q\r\n"
            for (int length = 0; length <= endLine; ++length)
                QVERIFY2(!checkFirmwareText(full.left(length)).ok, qPrintable(QString::number(length)));
        }
    }

    void scrambledTextFromTheMiddleIsRefused()
    {
        // The key runs from the file's first byte; a file missing its start descrambles to garbage.
        const QByteArray scrambled = bsl::scrambleText(goodFirmware());
        QVERIFY(!checkFirmwareText(scrambled.mid(7)).ok);
    }

    void filesAreReadWhole()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString good = dir.filePath(QStringLiteral("good.txt"));
        QFile f(good);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bsl::scrambleText(goodFirmware()));
        f.close();
        QVERIFY(checkFirmwareFile(good).ok);

        const bsl::FirmwareCheck missing = checkFirmwareFile(dir.filePath(QStringLiteral("absent.txt")));
        QVERIFY(!missing.ok);
        QVERIFY(missing.reason.contains(QLatin1String("cannot be opened")));
        QVERIFY(!checkFirmwareFile(QString()).ok);
        QVERIFY(!checkFirmwareFile(dir.path()).ok); // a folder
    }

    void builtInFirmwarePasses()
    {
        const QString path = QFINDTESTDATA("../../qml/firmware/src/731-001-010-2019-11-28-1324.txt");
        if (path.isEmpty())
            QSKIP("built-in firmware source not found");
        const bsl::FirmwareCheck check = checkFirmwareFile(path);
        QVERIFY2(check.ok, qPrintable(check.reason));
    }
};

QTEST_GUILESS_MAIN(FirmwareCheckTest)
#include "tst_firmwarecheck.moc"
