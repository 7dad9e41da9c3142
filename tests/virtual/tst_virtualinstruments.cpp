#include "usbdevicelist.h"
#include "virtualinstruments.h"

#include "simulator.h"

#include <QSerialPort>
#include <QtTest>

class VirtualInstrumentsTest : public QObject
{
    Q_OBJECT

private slots:
    void startedInstrumentsAreListedAndUnlisted()
    {
        {
            nvx::VirtualInstruments rack;
            QVERIFY(rack.start(2));
            QCOMPARE(rack.count(), 2);
            const QList<USBDevice> devices = USBDeviceList().load();
            QStringList serials;
            for (const USBDevice &d : devices) {
                if (d.serialNumber().startsWith(QStringLiteral("VIRTUAL")))
                    serials << d.serialNumber() + QLatin1Char(' ') + d.portName();
            }
            QCOMPARE(serials, QStringList({QStringLiteral("VIRTUAL1 ") + rack.portName(0),
                                           QStringLiteral("VIRTUAL2 ") + rack.portName(1)}));
            QVERIFY(rack.portName(0) != rack.portName(1));

            // A real serial port opens on each, and the instrument runs 1.10.
            QSerialPort port(rack.portName(1));
            QVERIFY(port.open(QIODevice::ReadWrite));
            QCOMPARE(rack.instrument(1).read(0x1090, 2), (std::vector<uint8_t>{1, 10}));
        }
        for (const USBDevice &d : USBDeviceList().load())
            QVERIFY(!d.serialNumber().startsWith(QStringLiteral("VIRTUAL")));
    }

    void numberingContinuesAcrossStarts()
    {
        nvx::VirtualInstruments rack;
        QVERIFY(rack.start(1));
        QVERIFY(rack.start(1));
        QCOMPARE(rack.serialNumber(1), QStringLiteral("VIRTUAL2"));
    }
};

QTEST_GUILESS_MAIN(VirtualInstrumentsTest)
#include "tst_virtualinstruments.moc"
