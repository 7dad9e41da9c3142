#pragma once

#include "versionentry.h"

#include <QAbstractListModel>
#include <QList>

// The firmware versions present locally, newest first by value of the
// number (versionnumber.h), one row per number.
class VersionModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum VersionRoles {
        FilenameRole = Qt::UserRole + 1,
        NumberRole,
        DateRole,
        DescriptionRole,
        PathRole,
        UrlRole,
    };

    explicit VersionModel(QObject *parent = nullptr);

    Q_INVOKABLE void addVersion(const QString &filename, const QString &number, const QString &date,
                                const QString &description, const QString &path, const QString &url);
    Q_INVOKABLE QVariant myData(int index, int role) const;
    Q_INVOKABLE void removeVersion(int row);
    Q_INVOKABLE void clearVersions();

    // Same as addVersion for a whole record; a number already present is dropped.
    void addVersion(const VersionEntry &entry);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    QList<VersionEntry> versions;
};
