#include "devicedriver.h"

#include <QDebug>

namespace discovery {

namespace {

void logLine(const QString &line)
{
    qDebug().noquote() << line;
}

} // namespace

int scanDevices(DeviceDriver &driver, QList<ScanEntry> *entries)
{
    quint32 count = 0;
    if (driver.createDeviceInfoList(&count) != kDriverOk) {
        logLine(QStringLiteral("FT device list failure. Count is ") + QString::number(count));
        return 0;
    }
    if (count == 0)
        return 0;

    QVector<DeviceInfo> records(int(qMin(count, kMaxDriverDevices)));
    quint32 filled = quint32(records.size());
    if (driver.getDeviceInfoList(&records, &filled) != kDriverOk)
        return 0;
    // The count written back bounds the loop, and never reaches past the list.
    const int examined = int(qMin(filled, quint32(records.size())));

    const QByteArray wanted("NVX7300");
    for (int i = 0; i < examined; ++i) {
        const DeviceInfo &record = records.at(i);
        const QString description = QString::fromLatin1(record.description);
        const QString serialNumber = QString::fromLatin1(record.serialNumber);
        logLine(QStringLiteral("Checking device ") + description);
        logLine(QStringLiteral("Checking device ") + serialNumber);
        logLine(QStringLiteral("Checking device ") + description);

        if (record.description != wanted)
            continue;

        DeviceHandle handle = 0;
        if (driver.open(i, &handle) != kDriverOk)
            continue;

        long number = 0;
        QString systemName;
        (void)driver.comPortNumber(handle, &number, &systemName);

        QString portName;
        if (systemName.isEmpty()) {
            logLine(QStringLiteral("Device COM port is ") + QString::number(number));
            portName = QString::asprintf("COM%ld", number);
        } else {
            logLine(QStringLiteral("Device COM port is ") + systemName);
            portName = systemName;
        }
        ScanEntry entry{serialNumber, description, portName};
        logLine(QStringLiteral("Created device ") + entry.portName);

        (void)driver.close(handle);
        entries->append(entry);
    }
    return entries->size();
}

} // namespace discovery
