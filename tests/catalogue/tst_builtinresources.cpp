#include "demofirmware.h"
#include "scramblekey.h"
#include "titxtimage.h"
#include "versioncomboboxmanagement.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QUrl>
#include <QtTest>

namespace {

QByteArray resource(const QString &name)
{
    QFile f(QStringLiteral(":/firmware/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// TI-TXT records as the engine reads them: each "q" ends one record. The
// list stops at the first record that does not parse.
QList<QMap<int, quint8>> records(const QByteArray &text)
{
    QList<QMap<int, quint8>> out;
    titxt::Image image;
    QString reason;
    int end = 0;
    for (int at = 0; at < text.size() && titxt::parse(text.mid(at), &image, &reason, &end); at += end) {
        QMap<int, quint8> bytes;
        for (const titxt::Block &block : qAsConst(image)) {
            for (int i = 0; i < block.bytes.size(); ++i)
                bytes.insert(int(block.address) + i, quint8(block.bytes[i]));
        }
        out.append(bytes);
    }
    return out;
}

QByteArray bytesAt(const QMap<int, quint8> &image, int address, int count)
{
    QByteArray out;
    for (int a = address; a < address + count; ++a)
        out += image.contains(a) ? char(image.value(a)) : '?';
    return out;
}

} // namespace

class BuiltInResourcesTest : public QObject
{
    Q_OBJECT

private slots:
    void textFilesAreScrambledWithCrLfLines_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("password") << QStringLiteral("731-0-00-2019-01-01-1200.txt");
        QTest::newRow("image") << QStringLiteral("731-001-010-2019-11-28-1324.txt");
    }

    void textFilesAreScrambledWithCrLfLines()
    {
        QFETCH(QString, name);
        const QByteArray stored = resource(name);
        QVERIFY(!stored.isEmpty());
        QVERIFY(!stored.contains('@'));
        const QByteArray plain = bsl::unscrambleText(stored);
        QVERIFY(plain.startsWith('@'));
        QCOMPARE(plain.count('\n'), plain.count("\r\n"));
        QVERIFY(plain.trimmed().endsWith('q'));
    }

    void passwordRecordsOpenOnlyTheDefaultInstrumentFirst()
    {
        const auto recs = records(bsl::unscrambleText(resource(QStringLiteral("731-0-00-2019-01-01-1200.txt"))));
        QCOMPARE(recs.size(), 2);
        QCOMPARE(bytesAt(recs.at(0), 0xFFE0, 32), nvx::demo::defaultVectors());
        QCOMPARE(recs.at(1).size(), 32);
        QVERIFY(bytesAt(recs.at(1), 0xFFE0, 32) != nvx::demo::defaultVectors());
    }

    void builtInImageIsVersion1_10WithDefaultVectors()
    {
        const auto recs = records(bsl::unscrambleText(resource(QStringLiteral("731-001-010-2019-11-28-1324.txt"))));
        QCOMPARE(recs.size(), 1);
        const auto &image = recs.at(0);
        QCOMPARE(bytesAt(image, 0xFFDC, 2), QByteArray("\x01\x0A", 2));
        QCOMPARE(bytesAt(image, 0xFFE0, 32), nvx::demo::defaultVectors());
        const int reset = image.value(0xFFFE) | image.value(0xFFFF) << 8;
        QVERIFY(image.contains(reset));
        for (int a : image.keys())
            QVERIFY2(a >= 0x1100 && a <= 0xFFFF, qPrintable(QString::number(a, 16)));
    }

    void catalogueEntriesFollowTheNamingRule()
    {
        const QJsonObject root = QJsonDocument::fromJson(resource(QStringLiteral("731Versions.json"))).object();
        const QJsonArray versions = root.value(QStringLiteral("versions")).toArray();
        QCOMPARE(versions.size(), 21);

        const QString catalogueHost = VersionComboBoxManagement::defaultServerBase().host();
        const QJsonArray locations = root.value(QStringLiteral("versionsFileLocations")).toArray();
        QCOMPARE(locations.size(), 1);
        const QString archiveHost = QUrl(locations.at(0).toString()).host();
        QVERIFY(!archiveHost.isEmpty());
        QVERIFY(archiveHost != catalogueHost);

        QStringList numbers;
        for (const QJsonValue &value : versions) {
            const QJsonObject e = value.toObject();
            const nvx::demo::DemoVersion v = nvx::demo::versionFromNumber(e.value(QStringLiteral("number")).toString());
            QVERIFY(v.released.isValid());
            QCOMPARE(e.value(QStringLiteral("filename")).toString(), v.filename());
            QCOMPARE(e.value(QStringLiteral("date")).toString(), v.date());
            QCOMPARE(e.value(QStringLiteral("description")).toString(), v.description());
            const QUrl url(e.value(QStringLiteral("url")).toString());
            QCOMPARE(url.host(), archiveHost);
            QCOMPARE(url.path(), QStringLiteral("/731/") + v.filename());
            QVERIFY(v.filename() != QStringLiteral("731-001-010-2019-11-28-1324.txt"));
            numbers.append(v.number());
        }
        numbers.removeDuplicates();
        QCOMPARE(numbers.size(), 21);
    }
};

QTEST_GUILESS_MAIN(BuiltInResourcesTest)
#include "tst_builtinresources.moc"
