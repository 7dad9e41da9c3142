#include "d2xxdriver.h"
#include "devicesources.h"
#include "fakedevicedriver.h"
#include "listeddevicedriver.h"
#include "messagelog.h"
#include "usbdevicelist.h"

#include <QMetaMethod>
#include <QTemporaryFile>
#include <QtTest>

#include <cerrno>

using Bridges = QVector<FakeDeviceDriver::Bridge>;
Q_DECLARE_METATYPE(Bridges)

namespace {

FakeDeviceDriver::Bridge bridge(const char *serial, const char *description, long port)
{
    return FakeDeviceDriver::Bridge{QByteArray(serial), QByteArray(description), port};
}

QStringList portNames(const QList<discovery::ScanEntry> &entries)
{
    QStringList names;
    for (const auto &e : entries)
        names << e.portName;
    return names;
}

QByteArray record(const QByteArray &serial, const QByteArray &description)
{
    QByteArray r(discovery::kD2xxRecordSize, '\0');
    r.replace(0, 16, QByteArray(16, '\x5A'));  // driver data, not text
    r.replace(96, 4, QByteArray(4, '\x5A'));
    r.replace(discovery::kD2xxSerialOffset, serial.size(), serial);
    r.replace(discovery::kD2xxDescriptionOffset, description.size(), description);
    return r;
}

} // namespace

class DeviceScanTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        discovery::setDriverFactory(nullptr);
        discovery::clearExtraDevices();
    }

    void scanKeepsOnlyOpenableNvx7300_data()
    {
        QTest::addColumn<Bridges>("bridges");
        QTest::addColumn<qint64>("countWrittenBack");
        QTest::addColumn<QList<int>>("refused");
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QStringList>("opens");
        QTest::addColumn<int>("examined");

        QTest::newRow("no bridge") << Bridges{} << qint64(-1) << QList<int>{} << QStringList{} << QStringList{} << 0;
        QTest::newRow("one instrument") << Bridges{bridge("FT1", "NVX7300", 7)} << qint64(-1) << QList<int>{}
                                        << QStringList{"COM7"} << QStringList{"open 0"} << 1;
        QTest::newRow("trailing space") << Bridges{bridge("FT1", "NVX7300 ", 7)} << qint64(-1) << QList<int>{}
                                        << QStringList{} << QStringList{} << 1;
        QTest::newRow("lower case") << Bridges{bridge("FT1", "nvx7300", 7)} << qint64(-1) << QList<int>{}
                                    << QStringList{} << QStringList{} << 1;
        QTest::newRow("prefix only") << Bridges{bridge("FT1", "NVX730", 7)} << qint64(-1) << QList<int>{}
                                     << QStringList{} << QStringList{} << 1;
        QTest::newRow("two instruments in index order")
            << Bridges{bridge("FT1", "NVX7300", 12), bridge("FT2", "NVX7300", 7)} << qint64(-1) << QList<int>{}
            << QStringList{"COM12", "COM7"} << QStringList{"open 0", "open 1"} << 2;
        QTest::newRow("foreign bridge beside instrument")
            << Bridges{bridge("A9", "FT232R USB UART", 3), bridge("FT2", "NVX7300", 9)} << qint64(-1)
            << QList<int>{} << QStringList{"COM9"} << QStringList{"open 1"} << 2;
        QTest::newRow("open refused, other kept")
            << Bridges{bridge("FT1", "NVX7300", 7), bridge("FT2", "NVX7300", 8)} << qint64(-1) << QList<int>{0}
            << QStringList{"COM8"} << QStringList{"open 0", "open 1"} << 2;
        QTest::newRow("smaller count written back")
            << Bridges{bridge("FT1", "NVX7300", 7), bridge("FT2", "NVX7300", 8), bridge("FT3", "NVX7300", 9)}
            << qint64(1) << QList<int>{} << QStringList{"COM7"} << QStringList{"open 0"} << 1;
        QTest::newRow("larger count written back stays within the list")
            << Bridges{bridge("FT1", "NVX7300", 7), bridge("FT2", "NVX7300", 8)} << qint64(1000) << QList<int>{}
            << QStringList{"COM7", "COM8"} << QStringList{"open 0", "open 1"} << 2;
    }

    void scanKeepsOnlyOpenableNvx7300()
    {
        QFETCH(Bridges, bridges);
        QFETCH(qint64, countWrittenBack);
        QFETCH(QList<int>, refused);
        QFETCH(QStringList, ports);
        QFETCH(QStringList, opens);
        QFETCH(int, examined);

        FakeDeviceDriver fake;
        fake.bridges = bridges;
        fake.countWrittenBack = countWrittenBack;
        for (int index : refused)
            fake.refusedIndexes.insert(index);

        nvxtest::MessageLog log;
        QList<discovery::ScanEntry> entries;
        const int n = discovery::scanDevices(fake, &entries);

        QCOMPARE(n, ports.size());
        QCOMPARE(portNames(entries), ports);
        QCOMPARE(fake.calls.filter(QRegularExpression("^open ")), opens);
        QVERIFY2(fake.openHandles.isEmpty(), "every opened device is closed again");
        QCOMPARE(log.startingWith(QtDebugMsg, "Checking device ").size(), 3 * examined);
        if (bridges.isEmpty())
            QCOMPARE(fake.calls, QStringList{"list"});
    }

    void scanLogsEachStep()
    {
        FakeDeviceDriver fake;
        fake.bridges = {bridge("A9", "FT232R USB UART", 3), bridge("FT01", "NVX7300", 11)};
        nvxtest::MessageLog log;
        QList<discovery::ScanEntry> entries;
        discovery::scanDevices(fake, &entries);

        const QStringList expected{
            "Checking device FT232R USB UART", "Checking device A9", "Checking device FT232R USB UART",
            "Checking device NVX7300",         "Checking device FT01", "Checking device NVX7300",
            "Device COM port is 11",           "Created device COM11",
        };
        QCOMPARE(log.texts(QtDebugMsg), expected);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.at(0).serialNumber, QString("FT01"));
        QCOMPARE(entries.at(0).description, QString("NVX7300"));
    }

    void scanTakesTextsAsLatin1()
    {
        FakeDeviceDriver fake;
        fake.bridges = {bridge("F\xE9" "1", "NVX7300", 4)};
        QList<discovery::ScanEntry> entries;
        discovery::scanDevices(fake, &entries);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.at(0).serialNumber, QString::fromUtf8("F\xC3\xA9" "1"));
    }

    void failedDriverCallsShortenTheList()
    {
        const Bridges two{bridge("FT1", "NVX7300", 7), bridge("FT2", "NVX7300", 8)};
        {
            FakeDeviceDriver fake;
            fake.bridges = two;
            fake.failNextCalls = 1; // list building
            nvxtest::MessageLog log;
            QList<discovery::ScanEntry> entries;
            QCOMPARE(discovery::scanDevices(fake, &entries), 0);
            QCOMPARE(log.texts(QtDebugMsg), QStringList{"FT device list failure. Count is 2"});
            QCOMPARE(fake.calls, QStringList{"list"});
        }
        {
            FakeDeviceDriver fake;
            fake.bridges = two;
            fake.copyStatus = discovery::kDriverOtherError;
            nvxtest::MessageLog log;
            QList<discovery::ScanEntry> entries;
            QCOMPARE(discovery::scanDevices(fake, &entries), 0);
            QVERIFY(log.texts(QtDebugMsg).isEmpty());
            QCOMPARE(fake.calls, (QStringList{"list", "copy 2"}));
        }
        {
            FakeDeviceDriver fake;
            fake.bridges = two;
            fake.portQueryFails = true;
            nvxtest::MessageLog log;
            QList<discovery::ScanEntry> entries;
            QCOMPARE(discovery::scanDevices(fake, &entries), 2);
            QCOMPARE(portNames(entries), (QStringList{"COM0", "COM0"}));
            QCOMPARE(log.startingWith(QtDebugMsg, "Device COM port is "), (QStringList{"Device COM port is 0", "Device COM port is 0"}));
            QVERIFY(fake.openHandles.isEmpty());
        }
    }

    void loadBuildsDevicesAndReplacesTheHeldList()
    {
        FakeDeviceDriver fake;
        fake.bridges = {bridge("FT1", "NVX7300", 7), bridge("FT2", "NVX7300", 8)};
        useFakeDriver(&fake);

        USBDeviceList list;
        nvxtest::MessageLog log;
        const QList<USBDevice> first = list.load();
        QCOMPARE(first.size(), 2);
        QCOMPARE(first.at(1).serialNumber(), QString("FT2"));
        QCOMPARE(first.at(1).description(), QString("NVX7300"));
        QCOMPARE(first.at(1).portName(), QString("COM8"));
        QCOMPARE(log.startingWith(QtDebugMsg, "refreshing COM ports "),
                 (QStringList{"refreshing COM ports FT1 NVX7300 COM7", "refreshing COM ports FT2 NVX7300 COM8"}));
        QCOMPARE(log.startingWith(QtDebugMsg, "Creating USB device "),
                 (QStringList{"Creating USB device FT1 NVX7300 COM7", "Creating USB device FT2 NVX7300 COM8"}));

        fake.bridges.removeFirst();
        const QList<USBDevice> second = list.load();
        QCOMPARE(second.size(), 1);
        QCOMPARE(list.devices().size(), 1);
        QCOMPARE(list.devices().at(0).portName(), QString("COM8"));

        fake.failNextCalls = 1;
        QVERIFY(list.load().isEmpty());
        QVERIFY(list.devices().isEmpty());
    }

    void deviceListOffersOnlyTheLoadSlot()
    {
        const QMetaObject &mo = USBDeviceList::staticMetaObject;
        QStringList own;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
            own << QString::fromLatin1(mo.method(i).methodSignature()) + QLatin1Char(':')
                       + QString::number(mo.method(i).methodType());
        QCOMPARE(own, QStringList{QStringLiteral("load():%1").arg(QMetaMethod::Slot)});
        QCOMPARE(mo.propertyCount(), mo.propertyOffset());
    }

    void extraDevicesFollowTheDriversOwn()
    {
        QTemporaryFile pty; // stands in for the virtual instrument's terminal
        QVERIFY(pty.open());
        FakeDeviceDriver fake;
        fake.bridges = {bridge("FT1", "NVX7300", 7)};
        useFakeDriver(&fake);

        const int virtualId = discovery::addExtraDevice("VIRTUAL1", "NVX7300", pty.fileName());
        discovery::addExtraDevice("VIRTUAL2", "something else", pty.fileName());
        discovery::addExtraDevice("VIRTUAL3", "NVX7300", pty.fileName() + ".gone");

        nvxtest::MessageLog log;
        QList<USBDevice> devices = USBDeviceList().load();
        QCOMPARE(devices.size(), 2);
        QCOMPARE(devices.at(0).portName(), QString("COM7"));
        QCOMPARE(devices.at(1).portName(), pty.fileName());
        QCOMPARE(devices.at(1).serialNumber(), QString("VIRTUAL1"));
        QVERIFY(log.texts(QtDebugMsg).contains("Device COM port is " + pty.fileName()));
        QCOMPARE(log.startingWith(QtDebugMsg, "Checking device ").size(), 3 * 4);
        QVERIFY(fake.openHandles.isEmpty());

        // The virtual instrument still shows when the real driver fails.
        fake.failNextCalls = 1;
        devices = USBDeviceList().load();
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices.at(0).serialNumber(), QString("VIRTUAL1"));

        discovery::removeExtraDevice(virtualId);
        devices = USBDeviceList().load();
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices.at(0).portName(), QString("COM7"));
    }

    void portWithoutPermissionIsLeftOutAndExplainedOnce()
    {
        int accessError = EACCES;
        discovery::ListedDeviceDriver driver({{"FT9", "NVX7300", "/dev/ttyUSB7"}, {"FT8", "NVX7300", "/dev/ttyUSB8"}},
                                             [&accessError](const QString &port) {
                                                 return port == QLatin1String("/dev/ttyUSB7") ? accessError : 0;
                                             });
        nvxtest::MessageLog log;
        QList<discovery::ScanEntry> entries;
        discovery::scanDevices(driver, &entries);
        QCOMPARE(portNames(entries), QStringList{"/dev/ttyUSB8"});
        QCOMPARE(log.texts(QtCriticalMsg).size(), 1);
        QVERIFY(log.texts(QtCriticalMsg).at(0).contains("/dev/ttyUSB7"));
        QVERIFY(log.texts(QtCriticalMsg).at(0).contains("60-nvx7300.rules")); // installed, or how to install it

        entries.clear();
        discovery::scanDevices(driver, &entries); // the timer's next round stays quiet
        QCOMPARE(log.texts(QtCriticalMsg).size(), 1);

        accessError = 0; // rule installed, instrument replugged
        entries.clear();
        discovery::scanDevices(driver, &entries);
        QCOMPARE(portNames(entries), (QStringList{"/dev/ttyUSB7", "/dev/ttyUSB8"}));

        accessError = EPERM; // lost again: say so again
        entries.clear();
        discovery::scanDevices(driver, &entries);
        QCOMPARE(log.texts(QtCriticalMsg).size(), 2);
        QCOMPARE(portNames(entries), QStringList{"/dev/ttyUSB8"});
    }

    void serialPortsOfFtdiBridgesOnlyInPortOrder()
    {
        const QVector<discovery::SerialPortFacts> ports{
            {"/dev/ttyUSB10", true, 0x0403, "FTB", "NVX7300"},
            {"/dev/ttyACM0", true, 0x2341, "X1", "NVX7300"},
            {"/dev/ttyS0", false, 0, "", ""},
            {"/dev/ttyUSB2", true, 0x0403, "FTA", "FT232R USB UART"},
        };
        const QVector<discovery::ListedDevice> bridges = discovery::ftdiBridges(ports);
        QCOMPARE(bridges.size(), 2);
        QCOMPARE(bridges.at(0).portName, QString("/dev/ttyUSB2"));
        QCOMPARE(bridges.at(0).description, QByteArray("FT232R USB UART"));
        QCOMPARE(bridges.at(1).portName, QString("/dev/ttyUSB10"));
        QCOMPARE(bridges.at(1).serialNumber, QByteArray("FTB"));
    }

    void driverRecordsAreReadWithinTheirFields_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<uint>("count");
        QTest::addColumn<QList<QByteArray>>("serials");
        QTest::addColumn<QList<QByteArray>>("descriptions");

        QTest::newRow("two records") << record("FT1", "NVX7300") + record("FT2", "FT232R USB UART") << 2u
                                     << QList<QByteArray>{"FT1", "FT2"}
                                     << QList<QByteArray>{"NVX7300", "FT232R USB UART"};
        QTest::newRow("unterminated texts end at their field")
            << record(QByteArray(16, 'S'), QByteArray(64, 'D')) << 1u << QList<QByteArray>{QByteArray(16, 'S')}
            << QList<QByteArray>{QByteArray(64, 'D')};
        QTest::newRow("count beyond the buffer") << record("FT1", "NVX7300") << 5u << QList<QByteArray>{"FT1"}
                                                 << QList<QByteArray>{"NVX7300"};
        QTest::newRow("partial record ignored") << record("FT1", "NVX7300") + QByteArray(40, 'x') << 2u
                                                << QList<QByteArray>{"FT1"} << QList<QByteArray>{"NVX7300"};
        QTest::newRow("count below the buffer") << record("FT1", "NVX7300") + record("FT2", "NVX7300") << 1u
                                                << QList<QByteArray>{"FT1"} << QList<QByteArray>{"NVX7300"};
        QTest::newRow("empty texts") << record("", "") << 1u << QList<QByteArray>{""} << QList<QByteArray>{""};
    }

    void driverRecordsAreReadWithinTheirFields()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(uint, count);
        QFETCH(QList<QByteArray>, serials);
        QFETCH(QList<QByteArray>, descriptions);

        const QVector<discovery::DeviceInfo> records = discovery::parseD2xxRecords(buffer, count);
        QCOMPARE(records.size(), serials.size());
        for (int i = 0; i < records.size(); ++i) {
            QCOMPARE(records.at(i).serialNumber, serials.at(i));
            QCOMPARE(records.at(i).description, descriptions.at(i));
        }
    }
};

QTEST_GUILESS_MAIN(DeviceScanTest)
#include "tst_devicescan.moc"
