#pragma once

#include <QString>

// One instrument found by USBDeviceList: a plain value, copied freely.
class USBDevice
{
public:
    // Argument order differs from the field order on purpose: callers pass
    // the port name second.
    USBDevice(const QString &serialNumber, const QString &portName, const QString &description);

    QString serialNumber() const { return m_serialNumber; }
    QString description() const { return m_description; }
    QString portName() const { return m_portName; }

private:
    QString m_serialNumber;
    QString m_description;
    QString m_portName;
};
