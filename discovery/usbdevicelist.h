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

    // The device file behind a port name: links such as /dev/serial/by-id/...
    // followed to the end, "ttyUSB0" taken as /dev/ttyUSB0. Names that are no
    // path to an existing file (COM7) come back as they are.
    static QString realPortName(const QString &port);

public slots:
    QList<USBDevice> load();

private:
    QList<USBDevice> m_devices;
};
