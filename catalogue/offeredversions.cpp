#include "offeredversions.h"

#include "firmwarefetcher.h"
#include "firmwarestore.h"
#include "storedcatalogue.h"
#include "versionmodel.h"

#include <QDebug>

namespace {

// What is wrong with the stored catalogue.
void report(const StoredCatalogue::Installed &installed, const QString &path)
{
    switch (installed.stored) {
    case StoredCatalogue::Trouble::Unreadable:
        qWarning().noquote() << "processMetadataFile. Couldn't read local version file" + path;
        qDebug().noquote() << path + ": " + installed.problem;
        break;
    case StoredCatalogue::Trouble::Damaged:
        qWarning() << "Couldn't parse local metadata file.";
        qDebug().noquote() << path + ": " + installed.problem;
        break;
    case StoredCatalogue::Trouble::Untrusted:
        qWarning().noquote() << "processMetadataFile. Local version file not trusted, " + installed.problem + ": " + path;
        break;
    case StoredCatalogue::Trouble::Missing:
    case StoredCatalogue::Trouble::None:
        break;
    }
}

} // namespace

QList<catalogue::CatalogueEntry> OfferedVersions::list(const FirmwareStore &store, const QByteArray &key, bool owner)
{
    const StoredCatalogue pair(store, key);
    const StoredCatalogue::Installed installed = pair.read();
    report(installed, store.pathOf(FirmwareStore::kCatalogueName));
    if (installed.stored != StoredCatalogue::Trouble::Unreadable)
        catalogue::installBuiltInImage(store.directory());
    using Source = StoredCatalogue::Source;
    if (installed.source == Source::Kept || installed.source == Source::BuiltIn) {
        qWarning().noquote() << QStringLiteral("processMetadataFile. Using the %1 version file")
                                    .arg(installed.source == Source::Kept ? QStringLiteral("last good")
                                                                          : QStringLiteral("built-in"));
    }
    if (owner)
        pair.tend(installed);

    const bool keyed = !key.isEmpty();
    QList<catalogue::CatalogueEntry> missing;
    listed.clear();
    if (installed.source == Source::None) {
        if (keyed)
            passwordDigest.clear();
        withdrawUnlisted();
        return missing;
    }
    const catalogue::CatalogueDocument document = catalogue::parseCatalogue(installed.bytes);
    if (keyed)
        passwordDigest = document.passwordSha256;
    for (const QString &skipped : document.skipped)
        qWarning().noquote() << "processMetadataFile. Skipping version " + skipped;

    for (catalogue::CatalogueEntry item : document.entries) {
        VersionEntry &entry = item.version;
        entry.path = store.pathOf(entry.filename);
        listed.append(entry);
        QString why;
        const safefile::Lookup found = store.lookUp(entry.filename, &why);
        if (found == safefile::Lookup::Failed) {
            qWarning().noquote() << "processMetadataFile. Firmware file left as it is, " + why;
            continue;
        }
        if (found == safefile::Lookup::RegularFile) {
            const FirmwareFetcher::Check check = FirmwareFetcher::check(item.sha256, entry.path, &why);
            if (check == FirmwareFetcher::Check::Good) {
                if (model)
                    model->addVersion(entry);
                continue;
            }
            if (check == FirmwareFetcher::Check::Unreadable) {
                qWarning().noquote() << "processMetadataFile. Firmware file left as it is, it cannot be read: "
                                            + entry.path + ": " + why;
                continue;
            }
            if (!owner) {
                // Deleted by the store's owner of the moment; until then only not offered.
                qDebug().noquote() << "Firmware file not listed, " + why;
                continue;
            }
            qWarning().noquote() << "Firmware file deleted, " + why;
            discardFirmwareFile(store, entry.filename); // and fetched again
        }
        missing.append(item);
    }
    withdrawUnlisted();
    return missing;
}

void OfferedVersions::offer(const VersionEntry &entry)
{
    if (model && isListed(entry))
        model->addVersion(entry);
}

bool OfferedVersions::isListed(const VersionEntry &entry) const
{
    for (const VersionEntry &one : listed) {
        if (one.number == entry.number && one.path == entry.path)
            return true;
    }
    return false;
}

void OfferedVersions::withdrawUnlisted()
{
    if (!model)
        return;
    for (int row = model->rowCount() - 1; row >= 0; --row) {
        VersionEntry entry;
        entry.number = model->data(model->index(row), VersionModel::NumberRole).toString();
        entry.path = model->data(model->index(row), VersionModel::PathRole).toString();
        if (!isListed(entry))
            model->removeVersion(row);
    }
}

void OfferedVersions::discardFirmwareFile(const FirmwareStore &store, const QString &fileName)
{
    store.removeFirmware(fileName);
    // Another entry may have listed the same file already; a row must never
    // offer a version whose file is gone.
    if (!model)
        return;
    const QString path = store.pathOf(fileName);
    for (int row = model->rowCount() - 1; row >= 0; --row) {
        if (model->data(model->index(row), VersionModel::PathRole).toString() == path)
            model->removeVersion(row);
    }
}
