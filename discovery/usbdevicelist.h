#pragma once

#include "usbdevice.h"

#include <QList>
#include <QObject>

// The instruments attached now. Each load() rescans through the driver that
// devicesources.h provides; no device stays open between calls.
class USBDeviceList : public QObject
{
    Q_OBJECT

public:
    explicit USBDeviceList(QObject *parent = nullptr);

    // The result of the last load().
    QList<USBDevice> devices() const { return m_devices; }

public slots:
    QList<USBDevice> load();

private:
    QList<USBDevice> m_devices;
};
