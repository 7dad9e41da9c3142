#include "languagemodel.h"
#include "modelcolumn.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest>

class LanguageModelTest : public QObject
{
    Q_OBJECT

    static void fill(LanguageModel &model, const QStringList &codes)
    {
        for (const QString &code : codes)
            model.addLanguage(code, QStringLiteral("name ") + code, QStringLiteral("Translation_%1.qm").arg(code));
    }

    static QStringList codes(const LanguageModel &model) { return nvxtest::columnOf(model, 0); }

private slots:
    void rolesAndScriptCodesReachTheSameFields()
    {
        LanguageModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.addLanguage(QStringLiteral("de_DE"), QStringLiteral("Deutsch"), QStringLiteral("Translation_de_DE.qm"));

        const QHash<int, QByteArray> roles = model.roleNames();
        QCOMPARE(roles.size(), 3);
        const QModelIndex index = model.index(0);
        for (int code = 0; code < 3; ++code) {
            const int role = roles.key(QList<QByteArray>{"code", "name", "fileName"}.at(code));
            QCOMPARE(role, Qt::UserRole + 1 + code);
            QCOMPARE(model.data(index, role), model.myData(0, code));
        }
        QCOMPARE(model.myData(0, 1).toString(), QStringLiteral("Deutsch"));
        QCOMPARE(model.myData(0, 2).toString(), QStringLiteral("Translation_de_DE.qm"));
    }

    void outsideRowsAndCodesGiveNothing_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("code");
        QTest::newRow("row before") << -1 << 0;
        QTest::newRow("row after") << 2 << 0;
        QTest::newRow("negative code") << 0 << -1;
        QTest::newRow("code after fileName") << 1 << 3;
    }

    void outsideRowsAndCodesGiveNothing()
    {
        QFETCH(int, row);
        QFETCH(int, code);
        LanguageModel model;
        fill(model, {QStringLiteral("de_DE"), QStringLiteral("fr_FR")});
        QVERIFY(!model.myData(row, code).isValid());
        QVERIFY(!model.data(model.index(0), Qt::UserRole + 4).isValid());
        QVERIFY(!model.data(model.index(0), Qt::DisplayRole).isValid());
    }

    void rowsKeepTheOrderAddedWithDuplicates()
    {
        LanguageModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        fill(model, {QStringLiteral("fr_FR"), QStringLiteral("de_DE"), QStringLiteral("fr_FR")});
        QCOMPARE(codes(model), (QStringList{"fr_FR", "de_DE", "fr_FR"}));
        QCOMPARE(inserted.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(inserted.at(i).at(1).toInt(), i);
            QCOMPARE(inserted.at(i).at(2).toInt(), i);
        }
    }

    void removeTakesOneRowAndIgnoresOthers_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("first") << 0 << QStringList{"en_GB", "es_ES"};
        QTest::newRow("middle") << 1 << QStringList{"de_DE", "es_ES"};
        QTest::newRow("last") << 2 << QStringList{"de_DE", "en_GB"};
        QTest::newRow("negative") << -1 << QStringList{"de_DE", "en_GB", "es_ES"};
        QTest::newRow("past the end") << 3 << QStringList{"de_DE", "en_GB", "es_ES"};
    }

    void removeTakesOneRowAndIgnoresOthers()
    {
        QFETCH(int, row);
        QFETCH(QStringList, expected);
        LanguageModel model;
        fill(model, {QStringLiteral("de_DE"), QStringLiteral("en_GB"), QStringLiteral("es_ES")});
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        model.removeLanguage(row);
        QCOMPARE(codes(model), expected);
        QCOMPARE(removed.size(), expected.size() == 3 ? 0 : 1);
    }

    void clearRemovesFromTheFrontOneAtATime()
    {
        LanguageModel model;
        fill(model, {QStringLiteral("de_DE"), QStringLiteral("en_GB"), QStringLiteral("es_ES"), QStringLiteral("fr_FR")});
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QStringList seenGoing;
        connect(&model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
                [&](const QModelIndex &, int first, int last) {
                    QCOMPARE(first, 0);
                    QCOMPARE(last, 0);
                    seenGoing << model.myData(first, 0).toString();
                });
        model.clearLanguages();
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(seenGoing, (QStringList{"de_DE", "en_GB", "es_ES", "fr_FR"}));

        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        model.clearLanguages();
        QCOMPARE(removed.size(), 0);
    }
};

QTEST_GUILESS_MAIN(LanguageModelTest)
#include "tst_languagemodel.moc"
