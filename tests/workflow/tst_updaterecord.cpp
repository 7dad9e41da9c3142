// The update record: whole lines from processes appending at once, and a
// reader that keeps every record it can use whatever else the file holds.
#include "updaterecord.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char kAppenderVariable[] = "NVX_RECORD_APPENDER"; // "path;tag;count": run as an appending child
constexpr int kAppendsPerChild = 300;
constexpr int kChildMs = 60000;

UpdateRecord record(const QString &serialNumber, int sequence)
{
    UpdateRecord r;
    r.time = QDateTime::currentDateTimeUtc();
    r.serialNumber = serialNumber;
    r.port = QStringLiteral("/dev/ttyUSB%1").arg(sequence);
    r.versionBefore = QStringLiteral("1.10");
    r.versionAfter = QStringLiteral("1.208");
    r.firmwareFile = QStringLiteral("731-001-208-2022-01-07-1353.txt");
    r.firmwareSha256 = QString(64, QLatin1Char('a'));
    // Lines of many lengths, up to several kilobytes, so that pieces of two
    // writes would interleave if a line went out in more than one.
    r.result = QStringLiteral("Update refused: ") + QString(sequence * 7 % 580, QChar(0x3A9)); // two bytes in UTF-8
    r.status = 0;
    r.seconds = sequence / 10.0;
    return r;
}

int appendAsChild(const QString &job)
{
    const QStringList parts = job.split(QLatin1Char(';'));
    const int count = parts.value(2).toInt();
    QString error;
    for (int i = 0; i < count; ++i) {
        if (!updaterecord::append(parts.value(0), record(parts.value(1), i), &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    return 0;
}

struct Contents
{
    QList<UpdateRecord> records;
    QList<int> skippedLines;
};

Contents readAll(const QString &path)
{
    Contents c;
    QString error;
    const bool ok = updaterecord::read(
        path, [&](const UpdateRecord &r) { c.records << r; }, [&](int line, const QString &) { c.skippedLines << line; },
        &error);
    if (!ok)
        c.skippedLines << -1;
    return c;
}

} // namespace

class UpdateRecordTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QString path() const { return dir.filePath(QStringLiteral("updates.jsonl")); }

private slots:
    void init() { QFile::remove(path()); }

    void appendsFromTwoProcessesStayWhole()
    {
        QProcess children[2];
        for (int i = 0; i < 2; ++i) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QLatin1String(kAppenderVariable),
                       QStringLiteral("%1;CHILD%2;%3").arg(path()).arg(i).arg(kAppendsPerChild));
            children[i].setProcessEnvironment(env);
            children[i].start(QCoreApplication::applicationFilePath(), QStringList());
        }
        for (QProcess &child : children) {
            QVERIFY(child.waitForFinished(kChildMs));
            QCOMPARE(child.exitCode(), 0);
        }
        const Contents c = readAll(path());
        QCOMPARE(c.skippedLines, QList<int>());
        QCOMPARE(c.records.size(), 2 * kAppendsPerChild);
        // Each child's lines in its own order, each one as it was written.
        int next[2] = {0, 0};
        for (const UpdateRecord &r : c.records) {
            const int child = r.serialNumber == QLatin1String("CHILD1") ? 1 : 0;
            const UpdateRecord expected = record(r.serialNumber, next[child]++);
            QCOMPARE(r.port, expected.port);
            QCOMPARE(r.result, expected.result);
        }
    }

    // A good record, then what the row puts there, then a record appended as usual.
    void readerSkipsWhatIsNotARecord_data()
    {
        QTest::addColumn<QByteArray>("between");
        QTest::addColumn<int>("skippedLine"); // 0: none
        const QByteArray whole = updaterecord::lineFor(record(QStringLiteral("A"), 1));
        QTest::newRow("cut short by a failed write") << whole.left(whole.size() / 2) << 2;
        QTest::newRow("another program's JSON") << QByteArray("{\"event\":\"boot\"}\n") << 2;
        QTest::newRow("a record with a field of the wrong type") << QByteArray(whole).replace("\"status\":0", "\"status\":\"0\"") << 2;
        QTest::newRow("verified as a text") << QByteArray(whole).replace("\"verified\":false", "\"verified\":\"yes\"") << 2;
        QTest::newRow("not JSON at all") << QByteArray("\x01\xff\xfe garbage\n") << 2;
        QTest::newRow("far too long") << QByteArray(3 * updaterecord::kMaxLineBytes, 'x') + '\n' << 2;
        QTest::newRow("blank lines") << QByteArray("\n\r\n   \n") << 0;
    }

    void readerSkipsWhatIsNotARecord()
    {
        QFETCH(QByteArray, between);
        QFETCH(int, skippedLine);
        QString error;
        QVERIFY(updaterecord::append(path(), record(QStringLiteral("A"), 1), &error));
        QFile file(path());
        QVERIFY(file.open(QIODevice::Append));
        file.write(between);
        file.close();
        QVERIFY2(updaterecord::append(path(), record(QStringLiteral("B"), 2), &error), qPrintable(error));

        const Contents c = readAll(path());
        QCOMPARE(c.records.size(), 2);
        QCOMPARE(c.records.at(0).serialNumber, QStringLiteral("A"));
        QCOMPARE(c.records.at(1).serialNumber, QStringLiteral("B"));
        QCOMPARE(c.records.at(1).result, record(QStringLiteral("B"), 2).result);
        QCOMPARE(c.skippedLines, skippedLine ? QList<int>{skippedLine} : QList<int>());
    }

    void neverWritesThroughALink()
    {
        const QString target = dir.filePath(QStringLiteral("elsewhere"));
        QFile elsewhere(target);
        QVERIFY(elsewhere.open(QIODevice::WriteOnly));
        elsewhere.write("keep\n");
        elsewhere.close();
        QVERIFY(QFile::link(target, path()));
        QString error;
        QVERIFY(!updaterecord::append(path(), record(QStringLiteral("A"), 1), &error));
        QVERIFY2(error.contains(QStringLiteral("link")), qPrintable(error));
        QVERIFY(elsewhere.open(QIODevice::ReadOnly));
        QCOMPARE(elsewhere.readAll(), QByteArray("keep\n"));
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kAppenderVariable))
        return appendAsChild(qEnvironmentVariable(kAppenderVariable));
    QCoreApplication app(argc, argv);
    UpdateRecordTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_updaterecord.moc"
