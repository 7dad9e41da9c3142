#include "versioncomboboxmanagement.h"

#include "catalogueconfig.h"
#include "cataloguetrust.h"
#include "downloadmanager.h"
#include "storedcatalogue.h"
#include "storelock.h"
#include "versionmodel.h"

#include <QDebug>
#include <QStandardPaths>

VersionComboBoxManagement::VersionComboBoxManagement(QObject *parent)
    : VersionComboBoxManagement(defaultServerBase(), parent)
{
}

VersionComboBoxManagement::VersionComboBoxManagement(const QUrl &serverBase, QObject *parent)
    : QObject(parent),
      serverBase(serverBase),
      catalogueKey(catalogue::builtInPublicKey()),
      transfers([this](DownloadManager *download, FirmwareStore::Kind kind) { connectEnd(download, kind); }),
      fetcher(transfers)
{
}

// Running transfers go with `transfers`, before the latest refresh (a child)
// lets go of the store and its staging folder.
VersionComboBoxManagement::~VersionComboBoxManagement() = default;

QUrl VersionComboBoxManagement::defaultServerBase()
{
    return QUrl(QStringLiteral("http://") + QStringLiteral(NVX_CATALOGUE_HOST) + QStringLiteral("/731"));
}

QString VersionComboBoxManagement::firmwareDirectory()
{
    const QString location = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (location.isEmpty())
        return QString();
    return location + QStringLiteral("/firmware");
}

void VersionComboBoxManagement::setPublicKey(const QByteArray &key)
{
    catalogueKey = key;
}

void VersionComboBoxManagement::setFirmwareDirectory(const QString &directory)
{
    storeOverride = directory;
}

QString VersionComboBoxManagement::storeDirectory() const
{
    return storeOverride.isEmpty() ? firmwareDirectory() : storeOverride;
}

void VersionComboBoxManagement::setStallTimeout(int ms)
{
    transfers.setStallTimeout(ms);
}

FirmwareStore VersionComboBoxManagement::store() const
{
    return FirmwareStore(storeDirectory());
}

void VersionComboBoxManagement::connectEnd(DownloadManager *download, FirmwareStore::Kind kind)
{
    switch (kind) {
    case FirmwareStore::Kind::Catalogue:
        connect(download, &DownloadManager::finished, this, &VersionComboBoxManagement::metadataDownloadFinished);
        break;
    case FirmwareStore::Kind::CatalogueSignature:
        connect(download, &DownloadManager::finished, this, &VersionComboBoxManagement::signatureDownloadFinished);
        break;
    case FirmwareStore::Kind::PasswordFile:
        connect(download, &DownloadManager::finished, this, &VersionComboBoxManagement::passwordDownloadFinished);
        break;
    default:
        connect(download, &DownloadManager::finished, this, &VersionComboBoxManagement::firmwareDownloadFinished);
        break;
    }
}

void VersionComboBoxManagement::refreshValues(VersionModel *model)
{
    offered.setModel(model);
    fetcher.newRound(); // every address gets another chance at each refresh

    const QString directory = storeDirectory();
    if (directory.isEmpty())
        qFatal("Cannot determine settings storage location");
    catalogue::installBuiltIns(directory);
    if (isRefreshing()) {
        // The running refresh lists again when its catalogue arrives.
        refresh->listAgain();
        return;
    }
    if (refresh)
        refresh->deleteLater(); // it may be the one whose settled() led here
    refresh = new CatalogueRefresh(CatalogueRefresh::Settings{serverBase, catalogueKey, directory}, transfers, fetcher,
                                   offered, this);
    connect(refresh, &CatalogueRefresh::stageEntered, this, &VersionComboBoxManagement::refreshStageEntered);
    connect(refresh, &CatalogueRefresh::settled, this, &VersionComboBoxManagement::refreshSettled);
    refresh->start();
}

void VersionComboBoxManagement::refreshLocalValues(VersionModel *model)
{
    offered.setModel(model);
    const QString directory = storeDirectory();
    if (directory.isEmpty())
        qFatal("Cannot determine settings storage location");
    catalogue::installBuiltIns(directory);
    // Repairs and deletions only as the store's owner; a busy store is listed as it is.
    StoreLock here;
    QString busy;
    const bool owner = (refresh && refresh->holdsStore()) || here.tryLock(directory, &busy) == StoreLock::Attempt::Held;
    offered.list(store(), catalogueKey, owner);
}

void VersionComboBoxManagement::metadataDownloadFinished(int status, QUrl url)
{
    Q_UNUSED(url)
    if (refresh)
        refresh->catalogueEnded(status);
}

void VersionComboBoxManagement::signatureDownloadFinished(int status, QUrl url)
{
    Q_UNUSED(url)
    if (refresh)
        refresh->signatureEnded(status);
}

void VersionComboBoxManagement::passwordDownloadFinished(int status, QUrl url)
{
    Q_UNUSED(url)
    if (refresh)
        refresh->passwordEnded(status);
}

void VersionComboBoxManagement::firmwareDownloadFinished(int status, QUrl url)
{
    VersionEntry installed;
    if (fetcher.finished(store(), sender(), status, url, &installed))
        offered.offer(installed);
}

bool VersionComboBoxManagement::printValues(VersionModel *model, QModelIndex modelIndex)
{
    if (model)
        qDebug().noquote() << model->data(modelIndex, VersionModel::FilenameRole).toString();
    return true;
}

void VersionComboBoxManagement::setAppPath(QUrl appPath)
{
    this->appPath = appPath;
}
