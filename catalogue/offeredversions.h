#pragma once

#include "cataloguedocument.h"
#include "versionentry.h"

#include <QByteArray>
#include <QList>
#include <QString>

class FirmwareStore;
class VersionModel;

// What the window and nvx7300ctl are offered: the entries of the catalogue in
// use whose files are stored and pass their checks, nothing else. A version
// the catalogue no longer lists is not offered (it may be withdrawn for a
// reason), though its file stays.
class OfferedVersions
{
public:
    void setModel(VersionModel *versions) { model = versions; }

    // One listing pass over the catalogue in use (StoredCatalogue) with the
    // key it must be signed with. As the store lock's owner it also puts a
    // damaged pair right and deletes files that fail their checks. Returns
    // the entries whose files are missing (with their paths), for a refresh
    // to fetch.
    QList<catalogue::CatalogueEntry> list(const FirmwareStore &store, const QByteArray &key, bool owner);
    // Offers a version whose file has just been stored, if the catalogue in use lists it.
    void offer(const VersionEntry &entry);
    // The catalogue in use's digest of the password file; empty when it gives none.
    QString passwordSha256() const { return passwordDigest; }

private:
    bool isListed(const VersionEntry &entry) const;
    void withdrawUnlisted();
    // Deletes a stored file that failed its checks, and every row that offers it.
    void discardFirmwareFile(const FirmwareStore &store, const QString &fileName);

    VersionModel *model = nullptr;
    QList<VersionEntry> listed; // the catalogue in use's usable entries, with their paths
    QString passwordDigest;
};
