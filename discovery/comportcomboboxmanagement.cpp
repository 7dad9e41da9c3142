#include "comportcomboboxmanagement.h"

#include "comportmodel.h"
#include "usbdevicelist.h"

#include <QDebug>

namespace {

int g_lastDeviceCount = 0; // GUI thread only

} // namespace

ComPortComboBoxManagement::ComPortComboBoxManagement(QObject *parent)
    : QObject(parent)
{
    // The window's scripts pass the model to refreshValues/printValues; QML
    // converts the argument only for a registered pointer type.
    qRegisterMetaType<ComPortModel *>();
}

void ComPortComboBoxManagement::refreshValues(ComPortModel *model)
{
    if (model == nullptr)
        return;
    const QList<USBDevice> devices = USBDeviceList().load();
    qDebug().noquote() << QStringLiteral("refresh COM ports ") + QString::number(devices.size());
    if (devices.size() == g_lastDeviceCount)
        return;

    g_lastDeviceCount = devices.size();
    model->clearComPorts();
    for (const USBDevice &device : devices) {
        qDebug().noquote() << QStringLiteral("adding COM port ") + device.portName() + QLatin1Char(' ')
                                  + device.description();
        model->addComPort(device.portName(), device.description(), device.serialNumber());
    }
}

bool ComPortComboBoxManagement::printValues(ComPortModel *model, const QModelIndex &modelIndex)
{
    if (model == nullptr)
        return false;
    qDebug().noquote() << model->data(modelIndex, ComPortModel::PortNameRole).toString();
    return true;
}

int ComPortComboBoxManagement::lastDeviceCount()
{
    return g_lastDeviceCount;
}

void ComPortComboBoxManagement::resetLastDeviceCount()
{
    g_lastDeviceCount = 0;
}
