#include "comportcomboboxmanagement.h"
#include "comportmodel.h"
#include "fakedevicedriver.h"
#include "messagelog.h"

#include <QAbstractItemModelTester>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QSignalSpy>
#include <QtTest>

namespace {

FakeDeviceDriver::Bridge instrument(const char *serial, long port)
{
    return FakeDeviceDriver::Bridge{QByteArray(serial), QByteArray("NVX7300"), port};
}

QStringList serials(const ComPortModel &model)
{
    QStringList values;
    for (int row = 0; row < model.rowCount(); ++row)
        values << model.myData(row, ComPortModel::SerialNumberCode).toString();
    return values;
}

} // namespace

class ComPortSelectorTest : public QObject
{
    Q_OBJECT

private:
    FakeDeviceDriver fake;

private slots:
    void init()
    {
        // Each case starts as a fresh process would.
        ComPortComboBoxManagement::resetLastDeviceCount();
        fake = FakeDeviceDriver();
        useFakeDriver(&fake);
    }

    void cleanupTestCase() { discovery::setDriverFactory(nullptr); }

    void plugAndPullFollowTheCount()
    {
        ComPortModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        ComPortComboBoxManagement selector;

        {
            nvxtest::MessageLog log;
            selector.refreshValues(&model);
            QCOMPARE(log.startingWith(QtDebugMsg, "refresh COM ports "), QStringList{"refresh COM ports 0"});
            QCOMPARE(inserted.count() + removed.count(), 0);
        }

        fake.bridges = {instrument("FT1", 7)};
        {
            nvxtest::MessageLog log;
            selector.refreshValues(&model);
            QCOMPARE(log.startingWith(QtDebugMsg, "refresh COM ports "), QStringList{"refresh COM ports 1"});
            QCOMPARE(log.startingWith(QtDebugMsg, "adding COM port "), QStringList{"adding COM port COM7 NVX7300"});
        }
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.myData(0, ComPortModel::PortNameCode).toString(), QString("COM7"));
        QCOMPARE(model.myData(0, ComPortModel::DescriptionCode).toString(), QString("NVX7300"));
        QCOMPARE(serials(model), QStringList{"FT1"});
        QCOMPARE(ComPortComboBoxManagement::lastDeviceCount(), 1);

        fake.bridges.clear();
        selector.refreshValues(&model);
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(ComPortComboBoxManagement::lastDeviceCount(), 0);
    }

    void unchangedCountLeavesRowsAlone()
    {
        ComPortModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        ComPortComboBoxManagement selector;
        fake.bridges = {instrument("FT1", 7), instrument("FT2", 8)};
        selector.refreshValues(&model);
        QCOMPARE(serials(model), (QStringList{"FT1", "FT2"}));

        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        fake.bridges[1] = instrument("FT3", 9); // swapped between refreshes
        selector.refreshValues(&model);
        QCOMPARE(serials(model), (QStringList{"FT1", "FT2"}));
        QCOMPARE(inserted.count() + removed.count(), 0);

        fake.bridges.append(instrument("FT4", 10));
        selector.refreshValues(&model);
        QCOMPARE(serials(model), (QStringList{"FT1", "FT3", "FT4"}));
        QCOMPARE(removed.count(), 2); // row by row
        QCOMPARE(inserted.count(), 3);
    }

    void lastCountIsSharedByAllSelectors()
    {
        ComPortModel first;
        ComPortModel second;
        fake.bridges = {instrument("FT1", 7)};
        ComPortComboBoxManagement().refreshValues(&first);
        ComPortComboBoxManagement().refreshValues(&second);
        QCOMPARE(first.rowCount(), 1);
        QCOMPARE(second.rowCount(), 0);
    }

    void changedCountDropsDemoRows()
    {
        ComPortModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        ComPortComboBoxManagement selector;
        model.setDemoMode(1);
        selector.refreshValues(&model); // count 0 as before: demo rows stay
        QCOMPARE(serials(model), (QStringList{"OSdemo1", "OSdemo2"}));

        fake.bridges = {instrument("FT1", 7)};
        selector.refreshValues(&model);
        QCOMPARE(serials(model), QStringList{"FT1"});
    }

    void windowScriptsReachSelectorAndModel()
    {
        ComPortModel model;
        ComPortComboBoxManagement selector;
        QQmlEngine engine;
        engine.rootContext()->setContextProperty(QStringLiteral("comPortModel"), &model);
        engine.rootContext()->setContextProperty(QStringLiteral("comPortComboBoxManagement"), &selector);
        fake.bridges = {instrument("FT1", 7)};

        QQmlExpression refresh(engine.rootContext(), nullptr,
                               QStringLiteral("comPortComboBoxManagement.refreshValues(comPortModel);"
                                              "comPortModel.myData(0, 2)"));
        const QVariant serial = refresh.evaluate();
        QVERIFY2(!refresh.hasError(), qPrintable(refresh.error().toString()));
        QCOMPARE(serial.toString(), QString("FT1"));

        QQmlExpression demo(engine.rootContext(), nullptr,
                            QStringLiteral("comPortModel.setDemoMode(1); comPortModel.getDemoMode()"));
        QCOMPARE(demo.evaluate().toInt(), 1);
        QCOMPARE(serials(model), (QStringList{"OSdemo1", "OSdemo2"}));
    }

    void printValuesLogsThePortName()
    {
        ComPortModel model;
        model.addComPort("COM5", "NVX7300", "FT1");
        ComPortComboBoxManagement selector;
        nvxtest::MessageLog log;
        QVERIFY(selector.printValues(&model, model.index(0)));
        QCOMPARE(log.texts(QtDebugMsg), QStringList{"COM5"});
        QVERIFY(!selector.printValues(nullptr, model.index(0)));
        selector.refreshValues(nullptr); // ignored, no crash
    }
};

QTEST_GUILESS_MAIN(ComPortSelectorTest)
#include "tst_comportselector.moc"
