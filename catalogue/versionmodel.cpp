#include "versionmodel.h"

#include "versionnumber.h"

namespace {

// Codes of myData, as the window's scripts use them.
enum MyDataCode {
    kCodeFilename = 0,
    kCodeNumber = 1,
    kCodeDate = 2,
    kCodeDescription = 3,
    kCodeUrl = 4,
    kCodeNumberAgain = 5,
    kCodePath = 6,
};

} // namespace

VersionModel::VersionModel(QObject *parent) : QAbstractListModel(parent) {}

void VersionModel::addVersion(const QString &filename, const QString &number, const QString &date,
                              const QString &description, const QString &path, const QString &url)
{
    addVersion(VersionEntry{filename, number, date, description, path, url});
}

void VersionModel::addVersion(const VersionEntry &entry)
{
    // Rows are kept newest first, numbers compared by value (1.10 after
    // 1.9); the first record of a number wins.
    int row = 0;
    for (; row < versions.size(); ++row) {
        const int order = compareVersionNumbers(versions.at(row).number, entry.number);
        if (order == 0)
            return;
        if (order > 0)
            break;
    }
    beginInsertRows(QModelIndex(), row, row);
    versions.insert(row, entry);
    endInsertRows();
}

QVariant VersionModel::myData(int index, int role) const
{
    if (index < 0 || index >= versions.size())
        return QVariant();
    const VersionEntry &v = versions.at(index);
    switch (role) {
    case kCodeFilename:
        return v.filename;
    case kCodeNumber:
    case kCodeNumberAgain:
        return v.number;
    case kCodeDate:
        return v.date;
    case kCodeDescription:
        return v.description;
    case kCodeUrl:
        return v.url;
    case kCodePath:
        return v.path;
    default:
        return QVariant();
    }
}

void VersionModel::removeVersion(int row)
{
    if (row < 0 || row >= versions.size())
        return;
    beginRemoveRows(QModelIndex(), row, row);
    versions.removeAt(row);
    endRemoveRows();
}

void VersionModel::clearVersions()
{
    const int count = versions.size();
    for (int i = 0; i < count; ++i)
        removeVersion(0);
}

int VersionModel::rowCount(const QModelIndex &parent) const
{
    // Rows have no children: answering the row count for them too would make
    // every row look like a branch to views and to the model checker.
    if (parent.isValid())
        return 0;
    return versions.size();
}

QVariant VersionModel::data(const QModelIndex &index, int role) const
{
    const int row = index.row();
    if (row < 0 || row >= versions.size())
        return QVariant();
    const VersionEntry &v = versions.at(row);
    switch (role) {
    case FilenameRole:
        return v.filename;
    case NumberRole:
        return v.number;
    case DateRole:
        return v.date;
    case DescriptionRole:
        return v.description;
    case PathRole:
        return v.path;
    case UrlRole:
        return v.url;
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> VersionModel::roleNames() const
{
    return {
        {FilenameRole, "filename"},
        {NumberRole, "number"},
        {DateRole, "date"},
        {DescriptionRole, "description"},
        {PathRole, "path"},
        {UrlRole, "url"},
    };
}
