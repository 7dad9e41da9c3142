#include "languagemodel.h"

namespace {

// myData's small codes map onto the view roles in the same order.
constexpr int kFirstScriptCode = 0; // code
constexpr int kLastScriptCode = 2;  // fileName

} // namespace

LanguageModel::LanguageModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

void LanguageModel::addLanguage(const QString &code, const QString &name, const QString &fileName)
{
    const int row = m_languages.size();
    beginInsertRows(QModelIndex(), row, row);
    m_languages.append(LanguageEntry{code, name, fileName});
    endInsertRows();
}

void LanguageModel::removeLanguage(int row)
{
    if (row < 0 || row >= m_languages.size())
        return;
    beginRemoveRows(QModelIndex(), row, row);
    m_languages.remove(row);
    endRemoveRows();
}

void LanguageModel::clearLanguages()
{
    // One removal per row, always from the front, so views see each row go.
    const int rows = m_languages.size();
    for (int i = 0; i < rows; ++i)
        removeLanguage(0);
}

QVariant LanguageModel::myData(int index, int role) const
{
    if (role < kFirstScriptCode || role > kLastScriptCode)
        return QVariant();
    return field(index, CodeRole + role);
}

int LanguageModel::rowCount(const QModelIndex &parent) const
{
    // Rows have no children: a count for every parent would make each row
    // look like a tree node to views and to the model checker.
    return parent.isValid() ? 0 : m_languages.size();
}

QVariant LanguageModel::data(const QModelIndex &index, int role) const
{
    return field(index.row(), role);
}

QHash<int, QByteArray> LanguageModel::roleNames() const
{
    return {
        {CodeRole, QByteArrayLiteral("code")},
        {NameRole, QByteArrayLiteral("name")},
        {FileNameRole, QByteArrayLiteral("fileName")},
    };
}

QVariant LanguageModel::field(int row, int role) const
{
    if (row < 0 || row >= m_languages.size())
        return QVariant();
    const LanguageEntry &entry = m_languages.at(row);
    switch (role) {
    case CodeRole:
        return entry.code;
    case NameRole:
        return entry.name;
    case FileNameRole:
        return entry.fileName;
    default:
        return QVariant();
    }
}
