#include "versionmodel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest>

namespace {

VersionEntry entry(const QString &number, const QString &tag = QString())
{
    const QString file = QStringLiteral("731-") + number + QStringLiteral(".txt");
    return {file, number, QStringLiteral("date ") + number, QStringLiteral("description ") + number + tag,
            QStringLiteral("/fw/") + file, QStringLiteral("http://h/731/") + file};
}

QStringList numbers(const VersionModel &model)
{
    QStringList out;
    for (int row = 0; row < model.rowCount(); ++row)
        out.append(model.myData(row, 1).toString());
    return out;
}

} // namespace

class VersionModelTest : public QObject
{
    Q_OBJECT

private slots:
    void insertionsKeepNewestFirst_data()
    {
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QList<int>>("insertedAt");
        QTest::addColumn<QStringList>("rows");

        QTest::newRow("mixed order")
            << QStringList{"001.126-2021-01-22-1628", "001.208-2022-01-07-1353", "001.130-2021-02-24-1712"}
            << QList<int>{0, 0, 1}
            << QStringList{"001.208-2022-01-07-1353", "001.130-2021-02-24-1712", "001.126-2021-01-22-1628"};
        QTest::newRow("ascending")
            << QStringList{"001.126-2021-01-22-1628", "001.127-2021-02-04-1355", "001.128-2021-02-15-1430"}
            << QList<int>{0, 0, 0}
            << QStringList{"001.128-2021-02-15-1430", "001.127-2021-02-04-1355", "001.126-2021-01-22-1628"};
        QTest::newRow("descending")
            << QStringList{"002.000-2023-01-01-0000", "001.200-2021-04-02-1711", "001.137-2021-03-30-1707"}
            << QList<int>{0, 1, 2}
            << QStringList{"002.000-2023-01-01-0000", "001.200-2021-04-02-1711", "001.137-2021-03-30-1707"};
        QTest::newRow("same version, later build")
            << QStringList{"001.206-2021-06-29-1153", "001.206-2021-06-29-1154", "001.205-2021-06-23-1207"}
            << QList<int>{0, 0, 2}
            << QStringList{"001.206-2021-06-29-1154", "001.206-2021-06-29-1153", "001.205-2021-06-23-1207"};
        // Numbers compare by value: as text "1.9" would outrank "1.10" and "zzz" everything.
        QTest::newRow("minor is a number")
            << QStringList{"1.10-2021-01-01-0000", "1.9-2021-01-01-0000", "1.100-2021-01-01-0000"}
            << QList<int>{0, 1, 0}
            << QStringList{"1.100-2021-01-01-0000", "1.10-2021-01-01-0000", "1.9-2021-01-01-0000"};
        QTest::newRow("unparsable after every version")
            << QStringList{"zzz", "001.126-2021-01-22-1628"} << QList<int>{0, 0}
            << QStringList{"001.126-2021-01-22-1628", "zzz"};
        QTest::newRow("one version spelt two ways")
            << QStringList{"001.126-2021-01-22-1628", "1.126-2021-01-22-1628"} << QList<int>{0}
            << QStringList{"001.126-2021-01-22-1628"};
        QTest::newRow("duplicates dropped")
            << QStringList{"001.130-2021-02-24-1712", "001.130-2021-02-24-1712", "001.126-2021-01-22-1628",
                           "001.126-2021-01-22-1628"}
            << QList<int>{0, 1}
            << QStringList{"001.130-2021-02-24-1712", "001.126-2021-01-22-1628"};
    }

    void insertionsKeepNewestFirst()
    {
        QFETCH(QStringList, added);
        QFETCH(QList<int>, insertedAt);
        QFETCH(QStringList, rows);

        VersionModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        for (const QString &number : added)
            model.addVersion(entry(number));

        QList<int> positions;
        for (const auto &args : inserted) {
            QCOMPARE(args.at(1).toInt(), args.at(2).toInt());
            QVERIFY(!args.at(0).value<QModelIndex>().isValid());
            positions.append(args.at(1).toInt());
        }
        QCOMPARE(positions, insertedAt);
        QCOMPARE(numbers(model), rows);
    }

    void firstRecordOfANumberWins()
    {
        VersionModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.addVersion(entry(QStringLiteral("001.130-2021-02-24-1712"), QStringLiteral(" first")));
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsAboutToBeInserted);
        QSignalSpy reset(&model, &QAbstractItemModel::modelAboutToBeReset);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

        const VersionEntry second = entry(QStringLiteral("001.130-2021-02-24-1712"), QStringLiteral(" second"));
        model.addVersion(second.filename, second.number, second.date, second.description, second.path, second.url);

        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.myData(0, 3).toString(), QStringLiteral("description 001.130-2021-02-24-1712 first"));
        QCOMPARE(inserted.count() + reset.count() + changed.count(), 0);
    }

    void fieldsByCodeAndByRole()
    {
        VersionModel model;
        model.addVersion(QStringLiteral("f.txt"), QStringLiteral("001.126-2021-01-22-1628"), QStringLiteral("d"),
                         QStringLiteral("version 1.126"), QStringLiteral("/fw/f.txt"), QStringLiteral("http://h/f.txt"));

        const QStringList byCode{QStringLiteral("f.txt"), QStringLiteral("001.126-2021-01-22-1628"),
                                 QStringLiteral("d"), QStringLiteral("version 1.126"), QStringLiteral("http://h/f.txt"),
                                 QStringLiteral("001.126-2021-01-22-1628"), QStringLiteral("/fw/f.txt")};
        for (int code = 0; code < byCode.size(); ++code)
            QCOMPARE(model.myData(0, code).toString(), byCode.at(code));

        const QHash<int, QByteArray> names = model.roleNames();
        QCOMPARE(names.size(), 6);
        const QModelIndex index = model.index(0);
        QCOMPARE(model.data(index, names.key("filename")).toString(), QStringLiteral("f.txt"));
        QCOMPARE(model.data(index, names.key("number")).toString(), QStringLiteral("001.126-2021-01-22-1628"));
        QCOMPARE(model.data(index, names.key("date")).toString(), QStringLiteral("d"));
        QCOMPARE(model.data(index, names.key("description")).toString(), QStringLiteral("version 1.126"));
        QCOMPARE(model.data(index, names.key("path")).toString(), QStringLiteral("/fw/f.txt"));
        QCOMPARE(model.data(index, names.key("url")).toString(), QStringLiteral("http://h/f.txt"));
        QCOMPARE(names.key("filename"), int(Qt::UserRole) + 1);
    }

    void outOfRangeGivesInvalid_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("code");
        QTest::newRow("row -1") << -1 << 0;
        QTest::newRow("row count") << 2 << 0;
        QTest::newRow("code -1") << 0 << -1;
        QTest::newRow("code 7") << 0 << 7;
    }

    void outOfRangeGivesInvalid()
    {
        QFETCH(int, row);
        QFETCH(int, code);
        VersionModel model;
        model.addVersion(entry(QStringLiteral("001.126-2021-01-22-1628")));
        model.addVersion(entry(QStringLiteral("001.127-2021-02-04-1355")));
        QVERIFY(!model.myData(row, code).isValid());
    }

    void dataOutsideRolesOrRowsIsInvalid()
    {
        VersionModel model;
        model.addVersion(entry(QStringLiteral("001.126-2021-01-22-1628")));
        QVERIFY(!model.data(model.index(0), Qt::UserRole + 7).isValid());
        QVERIFY(!model.data(model.index(0), Qt::DisplayRole).isValid());
        QVERIFY(!model.data(model.index(1), Qt::UserRole + 1).isValid());
    }

    void removeAndClear()
    {
        VersionModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (const char *n : {"001.126-2021-01-22-1628", "001.127-2021-02-04-1355", "001.128-2021-02-15-1430"})
            model.addVersion(entry(QString::fromLatin1(n)));

        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        model.removeVersion(7);
        model.removeVersion(-1);
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(removed.count(), 0);

        model.removeVersion(1);
        QCOMPARE(numbers(model),
                 (QStringList{QStringLiteral("001.128-2021-02-15-1430"), QStringLiteral("001.126-2021-01-22-1628")}));

        removed.clear();
        model.clearVersions();
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(removed.count(), 2);
        for (const auto &args : removed) {
            QCOMPARE(args.at(1).toInt(), 0);
            QCOMPARE(args.at(2).toInt(), 0);
        }
    }
};

QTEST_GUILESS_MAIN(VersionModelTest)
#include "tst_versionmodel.moc"
