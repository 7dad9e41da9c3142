#pragma once

#include "cataloguerefresh.h"
#include "firmwarefetcher.h"
#include "offeredversions.h"
#include "transferpool.h"

#include <QModelIndex>
#include <QObject>
#include <QUrl>

class DownloadManager;
class VersionModel;

// Keeps the local firmware store up to date from the catalogue server and
// lists the versions whose firmware files are present in a VersionModel: the
// front that the window and nvx7300ctl use. Behind it:
//
// - CatalogueRefresh: one refresh, stage by stage (the store's lock, the
//   catalogue, its signature, the password file, the firmware transfers);
// - FirmwareFetcher: the firmware files, their request budget, other
//   addresses, digest and firmware checks;
// - OfferedVersions: what the model offers, from the catalogue in use;
// - StoredCatalogue: the catalogue and its signature as a pair in the store;
// - TransferPool: the running transfers, one network access object for all.
//
// Every download lands in the store's staging folder first and replaces the
// file in the firmware folder only after its checks: the catalogue must be a
// catalogue (and, with a key, signed and not older than the installed one),
// the password file must hold password records (and match the signed
// catalogue's "passwordSha256"), a firmware file must pass the firmware
// check and its entry's "sha256". Entries may name nothing but firmware
// files (FirmwareStore), so the network can neither replace nor delete the
// store's own files. Several processes share one store: a refresh fetches,
// installs and deletes only while it holds the store's lock (StoreLock), and
// one that cannot get it in time lists what is stored (CatalogueOutcome::
// StoreBusy). A stored file that cannot be examined or read is left alone.
//
// With a public key (the build's NVX_CATALOGUE_PUBLIC_KEY, or setPublicKey)
// "731Versions.json.sig" is fetched too (see cataloguetrust.h); the local
// catalogue is read only when it is the built-in one or its stored signature
// verifies, entries without "sha256" are never downloaded, and the password
// file is fetched once the catalogue has been checked. Without a key no
// signature is requested and any catalogue is read.
class VersionComboBoxManagement : public QObject
{
    Q_OBJECT
    // For the window: the latest refresh could not check the server's
    // catalogue (unreachable, stalled or refused), so newer versions may exist.
    Q_PROPERTY(bool catalogueUnchecked READ catalogueUnchecked NOTIFY refreshSettled)

public:
    // What became of the server's catalogue in the latest refresh.
    using CatalogueOutcome = CatalogueRefresh::Outcome;

    // Uses the catalogue server chosen at build time.
    explicit VersionComboBoxManagement(QObject *parent = nullptr);
    // serverBase is the folder that holds the catalogue, e.g. "http://host/731".
    explicit VersionComboBoxManagement(const QUrl &serverBase, QObject *parent = nullptr);
    ~VersionComboBoxManagement() override;

    // "http://" + the build-time catalogue host + "/731".
    static QUrl defaultServerBase();
    // The writable application-data location + "/firmware"; empty when the
    // location cannot be determined.
    static QString firmwareDirectory();

    // The raw 32-byte Ed25519 key catalogues must be signed with; empty: none.
    void setPublicKey(const QByteArray &key);
    QByteArray publicKey() const { return catalogueKey; }
    // Keeps the store in another folder than firmwareDirectory() (for the
    // publishing tool's read-back); empty restores the default.
    void setFirmwareDirectory(const QString &directory);
    QString storeDirectory() const;
    // A transfer that receives no byte for this long fails (and another
    // address of the same file gets its turn); 30 s unless set.
    void setStallTimeout(int ms);

    // True from refreshValues until refreshSettled.
    bool isRefreshing() const { return refresh && refresh->isRunning(); }
    CatalogueOutcome catalogueOutcome() const { return refresh ? refresh->outcome() : CatalogueOutcome::NotAsked; }
    // Why the server's catalogue is not in use: the refusal's reason, or what
    // kept the store from being refreshed; empty when there is nothing to say.
    QString catalogueProblem() const { return refresh ? refresh->problem() : QString(); }
    bool catalogueUnchecked() const
    {
        return catalogueOutcome() == CatalogueOutcome::Unreachable || catalogueOutcome() == CatalogueOutcome::Refused;
    }
    // Firmware transfers of the latest refresh that failed or were refused.
    int failedFirmwareDownloads() const { return fetcher.failures(); }

signals:
    // The refresh has settled: no transfer runs any more, the model holds
    // what this refresh could get and catalogueOutcome() says what became of
    // the server's catalogue.
    void refreshSettled();
    // The latest refresh has entered stage.
    void refreshStageEntered(CatalogueRefresh::Stage stage);

public slots:
    void metadataDownloadFinished(int status, QUrl url);
    void firmwareDownloadFinished(int status, QUrl url);
    void passwordDownloadFinished(int status, QUrl url);

public:
    Q_INVOKABLE bool printValues(VersionModel *model, QModelIndex modelIndex);
    Q_INVOKABLE void refreshValues(VersionModel *model);
    // The same without the network: installs the built-in files and lists the
    // local catalogue's versions whose files are present; starts no download.
    Q_INVOKABLE void refreshLocalValues(VersionModel *model);
    Q_INVOKABLE void setAppPath(QUrl appPath);

private:
    FirmwareStore store() const;
    void signatureDownloadFinished(int status, QUrl url);
    // Connects a new transfer to the slot for its kind of file.
    void connectEnd(DownloadManager *download, FirmwareStore::Kind kind);

    QUrl serverBase;
    QByteArray catalogueKey;
    QString storeOverride;
    QUrl appPath;
    TransferPool transfers;
    FirmwareFetcher fetcher;
    OfferedVersions offered;
    CatalogueRefresh *refresh = nullptr; // the latest one, a child
};
