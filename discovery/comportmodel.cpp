#include "comportmodel.h"

ComPortModel::ComPortModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

int ComPortModel::rowCount(const QModelIndex &parent) const
{
    // A flat list: rows have no children, or views would descend into them.
    return parent.isValid() ? 0 : m_ports.size();
}

QVariant ComPortModel::field(int row, int code) const
{
    if (row < 0 || row >= m_ports.size())
        return QVariant();
    const ComPort &port = m_ports.at(row);
    switch (code) {
    case PortNameCode:
        return port.portName;
    case DescriptionCode:
        return port.description;
    case SerialNumberCode:
        return port.serialNumber;
    default:
        return QVariant();
    }
}

QVariant ComPortModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.model() != this || role < PortNameRole || role > SerialNumberRole)
        return QVariant();
    return field(index.row(), role - PortNameRole);
}

QHash<int, QByteArray> ComPortModel::roleNames() const
{
    return {
        {PortNameRole, "portName"},
        {DescriptionRole, "description"},
        {SerialNumberRole, "serialNumber"},
    };
}

void ComPortModel::addComPort(const QString &portName, const QString &description, const QString &serialNumber)
{
    const int row = m_ports.size();
    beginInsertRows(QModelIndex(), row, row);
    m_ports.append(ComPort{portName, description, serialNumber});
    endInsertRows();
}

void ComPortModel::removeComPort(int row)
{
    if (row < 0 || row >= m_ports.size())
        return;
    beginRemoveRows(QModelIndex(), row, row);
    m_ports.remove(row);
    endRemoveRows();
}

void ComPortModel::clearComPorts()
{
    while (!m_ports.isEmpty())
        removeComPort(0);
}

QVariant ComPortModel::myData(int index, int role) const
{
    return field(index, role);
}

void ComPortModel::setDemoMode(int demoMode)
{
    m_demoMode = demoMode;
    if (demoMode != 1)
        return;
    clearComPorts();
    addComPort(QStringLiteral("demoport1"), QStringLiteral("demoport1"), QStringLiteral("OSdemo1"));
    addComPort(QStringLiteral("demoport2"), QStringLiteral("demoport2"), QStringLiteral("OSdemo2"));
}

int ComPortModel::getDemoMode() const
{
    return m_demoMode;
}
