#pragma once

#include <QAbstractListModel>
#include <QVector>

// Rows behind the window's COM port combo box: one per instrument found.
class ComPortModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum ComPortRoles {
        PortNameRole = Qt::UserRole + 1,
        DescriptionRole,
        SerialNumberRole,
    };

    // myData() codes, for the window's scripts.
    enum ComPortCodes {
        PortNameCode = 0,
        DescriptionCode = 1,
        SerialNumberCode = 2,
    };

    explicit ComPortModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    Q_INVOKABLE void addComPort(const QString &portName, const QString &description, const QString &serialNumber);
    Q_INVOKABLE void removeComPort(int row);
    // Row by row from the front, one removal notification each.
    Q_INVOKABLE void clearComPorts();
    Q_INVOKABLE QVariant myData(int index, int role) const;

public slots:
    // 1 replaces the rows with two fixed demo rows; other values are only stored.
    void setDemoMode(int demoMode);
    int getDemoMode() const;

private:
    struct ComPort
    {
        QString portName;
        QString description;
        QString serialNumber;
    };

    QVariant field(int row, int code) const;

    int m_demoMode = 0;
    QVector<ComPort> m_ports;
};
