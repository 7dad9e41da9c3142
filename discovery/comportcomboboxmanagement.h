#pragma once

#include <QModelIndex>
#include <QObject>

class ComPortModel;

// Fills ComPortModel from the attached instruments.
class ComPortComboBoxManagement : public QObject
{
    Q_OBJECT

public:
    explicit ComPortComboBoxManagement(QObject *parent = nullptr);

    // Rescans; rebuilds the model only when the number of instruments differs
    // from the last refresh (of any instance in this process).
    Q_INVOKABLE void refreshValues(ComPortModel *model);
    // Logs the row's port name; false only for a missing model.
    Q_INVOKABLE bool printValues(ComPortModel *model, const QModelIndex &modelIndex);

    // The device count of the last refresh, process-wide, 0 at program start.
    static int lastDeviceCount();
    // Back to the program-start value. Only for code that stands in for a
    // fresh process, such as a test case.
    static void resetLastDeviceCount();
};
