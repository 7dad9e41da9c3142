#include "comportmodel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest>

namespace {

QStringList column(const ComPortModel &model, int code)
{
    QStringList values;
    for (int row = 0; row < model.rowCount(); ++row)
        values << model.myData(row, code).toString();
    return values;
}

} // namespace

class ComPortModelTest : public QObject
{
    Q_OBJECT

private slots:
    void rolesAreNamedForViews()
    {
        ComPortModel model;
        const QHash<int, QByteArray> roles = model.roleNames();
        QCOMPARE(roles.size(), 3);
        QCOMPARE(roles.value(Qt::UserRole + 1), QByteArray("portName"));
        QCOMPARE(roles.value(Qt::UserRole + 2), QByteArray("description"));
        QCOMPARE(roles.value(Qt::UserRole + 3), QByteArray("serialNumber"));
    }

    void rolesAndCodesReachTheSameFields()
    {
        ComPortModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.addComPort("COM7", "NVX7300", "FT1");
        model.addComPort("COM9", "NVX7300b", "FT2");
        for (int row = 0; row < 2; ++row) {
            for (int code = 0; code < 3; ++code) {
                const QVariant viaRole = model.data(model.index(row), Qt::UserRole + 1 + code);
                QVERIFY(viaRole.isValid());
                QCOMPARE(model.myData(row, code), viaRole);
            }
        }
        QCOMPARE(model.myData(1, 0).toString(), QString("COM9"));
        QCOMPARE(model.myData(1, 1).toString(), QString("NVX7300b"));
        QCOMPARE(model.myData(1, 2).toString(), QString("FT2"));
    }

    void outOfRangeGivesNothing_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("code");
        QTest::newRow("code 3") << 0 << 3;
        QTest::newRow("code -1") << 0 << -1;
        QTest::newRow("row past the end") << 5 << 0;
        QTest::newRow("row equal to count") << 2 << 1;
        QTest::newRow("negative row") << -1 << 0;
    }

    void outOfRangeGivesNothing()
    {
        QFETCH(int, row);
        QFETCH(int, code);
        ComPortModel model;
        model.addComPort("COM7", "NVX7300", "FT1");
        model.addComPort("COM8", "NVX7300", "FT2");
        QVERIFY(!model.myData(row, code).isValid());
    }

    void otherRolesGiveNothing_data()
    {
        QTest::addColumn<int>("role");
        QTest::newRow("display") << int(Qt::DisplayRole);
        QTest::newRow("user role") << int(Qt::UserRole);
        QTest::newRow("past the roles") << int(Qt::UserRole + 4);
    }

    void otherRolesGiveNothing()
    {
        QFETCH(int, role);
        ComPortModel model;
        model.addComPort("COM7", "NVX7300", "FT1");
        QVERIFY(!model.data(model.index(0), role).isValid());
        QVERIFY(!model.data(QModelIndex(), Qt::UserRole + 1).isValid());
    }

    void addAndRemoveAreAnnouncedRowByRow()
    {
        ComPortModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);

        model.addComPort("COM1", "NVX7300", "A");
        model.addComPort("COM2", "NVX7300", "B");
        model.addComPort("COM3", "NVX7300", "C");
        QCOMPARE(inserted.count(), 3);
        QCOMPARE(inserted.at(2).at(1).toInt(), 2);
        QCOMPARE(inserted.at(2).at(2).toInt(), 2);

        model.removeComPort(1);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.at(0).at(1).toInt(), 1);
        QCOMPARE(removed.at(0).at(2).toInt(), 1);
        QCOMPARE(column(model, 2), (QStringList{"A", "C"}));

        model.removeComPort(-1);
        model.removeComPort(model.rowCount());
        QCOMPARE(removed.count(), 1);
        QCOMPARE(model.rowCount(), 2);

        removed.clear();
        model.clearComPorts();
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(removed.count(), 2);
        for (const QList<QVariant> &args : qAsConst(removed)) {
            QCOMPARE(args.at(1).toInt(), 0);
            QCOMPARE(args.at(2).toInt(), 0);
        }
        model.clearComPorts();
        QCOMPARE(removed.count(), 2);
    }

    void demoModeReplacesRowsWithTwoFixedOnes()
    {
        ComPortModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.getDemoMode(), 0);
        model.addComPort("COM7", "NVX7300", "FT1");
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);

        model.setDemoMode(1);
        QCOMPARE(model.getDemoMode(), 1);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(inserted.count(), 2);
        QCOMPARE(column(model, 0), (QStringList{"demoport1", "demoport2"}));
        QCOMPARE(column(model, 1), (QStringList{"demoport1", "demoport2"}));
        QCOMPARE(column(model, 2), (QStringList{"OSdemo1", "OSdemo2"}));

        model.setDemoMode(0);
        QCOMPARE(model.getDemoMode(), 0);
        QCOMPARE(column(model, 2), (QStringList{"OSdemo1", "OSdemo2"}));

        model.setDemoMode(1); // again: still exactly two rows
        QCOMPARE(model.rowCount(), 2);
        model.setDemoMode(7);
        QCOMPARE(model.getDemoMode(), 7);
        QCOMPARE(model.rowCount(), 2);
    }
};

QTEST_GUILESS_MAIN(ComPortModelTest)
#include "tst_comportmodel.moc"
