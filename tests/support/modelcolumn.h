#pragma once

#include <QStringList>

namespace nvxtest {

// One column of a list model that answers myData(row, code), top to bottom.
template <typename Model>
QStringList columnOf(const Model &model, int code)
{
    QStringList out;
    for (int row = 0; row < model.rowCount(); ++row)
        out.append(model.myData(row, code).toString());
    return out;
}

} // namespace nvxtest
