#pragma once

#include "versionentry.h"

#include <QDateTime>
#include <QHash>
#include <QElapsedTimer>
#include <QList>
#include <QModelIndex>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <memory>

class DownloadManager;
class FirmwareStore;
class QLockFile;
class VersionModel;

// Keeps the local firmware store up to date from the catalogue server and
// lists the versions whose firmware files are present in a VersionModel.
//
// Every download lands in the store's staging folder first and replaces the
// file in the firmware folder only after its checks: the catalogue must be a
// catalogue (and, with a key, signed and not older than the installed one),
// the password file must hold password records (and match the signed
// catalogue's "passwordSha256"), a firmware file must pass the firmware
// check and its entry's "sha256". Entries may name nothing but firmware
// files (FirmwareStore), so the network can neither replace nor delete the
// store's own files.
//
// The list is the current catalogue's entries whose files are stored and
// checked, nothing else: a version the catalogue no longer lists is not
// offered (its file stays). Several processes share one store: a refresh
// fetches, installs and deletes only while it holds the store's lock, and
// one that cannot get it in time lists what is stored (CatalogueOutcome::
// StoreBusy). A stored file that cannot be examined or read is left alone.
//
// The catalogue and its signature are read as a pair: when they do not
// belong together (an install cut short) or the catalogue is damaged, the
// last good catalogue the store kept is used, else the built-in one, and the
// stored files are put right by the lock's holder. The newest publication
// time ever accepted is kept on its own, so that going back to a built-in
// copy never makes an older signed catalogue acceptable again.
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
    enum class CatalogueOutcome {
        NotAsked,    // no refresh with the network yet
        Pending,     // still being fetched or checked
        Installed,   // fetched, checked and now the local catalogue
        Unreachable, // not fetched: the local catalogue stays in use
        Refused,     // fetched but not a catalogue, not signed, older than ours or from the future
        StoreBusy,   // not fetched: another process kept the store's lock too long
        StoreUnusable, // not fetched: the firmware folder cannot be written
    };

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
    bool isRefreshing() const { return refreshing; }
    CatalogueOutcome catalogueOutcome() const { return outcome; }
    // Why the server's catalogue is not in use: the refusal's reason, or what
    // kept the store from being refreshed; empty when there is nothing to say.
    QString catalogueProblem() const { return problem; }
    bool catalogueUnchecked() const
    {
        return outcome == CatalogueOutcome::Unreachable || outcome == CatalogueOutcome::Refused;
    }
    // Firmware transfers of the latest refresh that failed or were refused.
    int failedFirmwareDownloads() const { return firmwareFailures; }

signals:
    // The refresh has settled: no transfer runs any more, the model holds
    // what this refresh could get and catalogueOutcome() says what became of
    // the server's catalogue.
    void refreshSettled();

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
    enum class Kind { Catalogue, Signature, Password, Firmware };
    struct Transfer
    {
        Kind kind = Kind::Firmware;
        QString fileName;      // under which the store keeps it
        QString normalisedUrl; // the address asked for, in normal form
    };

    // Where the catalogue a reader uses comes from, and what is wrong with the stored pair.
    enum class Source { None, Stored, Kept, BuiltIn };
    enum class Trouble { None, Missing, Unreadable, Damaged, Untrusted };
    struct Installed
    {
        Source source = Source::None;
        Trouble stored = Trouble::None;
        QString problem;      // the stored pair's trouble in words
        QByteArray bytes;     // the catalogue in use
        QByteArray signature; // its signature; empty without a key
    };
    enum class FileCheck { Good, Bad, Unreadable };
    enum class LockAttempt { Held, Busy, Failed };

    FirmwareStore store() const;
    void installBuiltInFile(const QString &resourceDir, const QString &resourceName, const QString &targetDir,
                            const QString &targetName);
    void installBuiltIns(const QString &directory);
    // Lists the catalogue in use; as the lock's holder also puts a damaged
    // pair right, deletes files that fail their checks and fetches missing ones.
    bool processMetadataFile();
    void processPasswordFile(const QString &path);
    Installed readInstalledCatalogue() const;
    void keepCatalogue(const Installed &installed);
    void withdrawUnlisted();
    bool isListed(const VersionEntry &entry) const;

    // The store's lock, across processes.
    LockAttempt lockStore(QString *why);
    void attemptStoreLock();
    void startRefresh();
    void releaseStore();
    void queueSettleCheck();

    // Starts a download of kind into the staging folder, stored under
    // fileName, unless a transfer to that file still runs or (firmware) the
    // file's requests for this session are used up.
    DownloadManager *startDownload(Kind kind, const QUrl &url, const QString &fileName);
    bool transferRunningTo(const QString &fileName) const;
    Transfer transferOf(QObject *download) const;
    void release(DownloadManager *download);
    void checkSettled();
    QString fileUrl(const QString &fileName) const;

    // The catalogue: staged, checked, installed or discarded.
    void signedMetadataDownloadFinished(int status, QUrl url);
    void signatureDownloadFinished(int status, QUrl url);
    void discardIncoming(const QString &reason);
    // Installs the checked download (with its signature, keyed) and says
    // whether it is now the catalogue a reader uses, whatever failed on the way.
    bool installIncoming(const QByteArray &bytes, const QByteArray &signature, const QDateTime &published,
                         QString *reason);
    void startPasswordDownload();
    bool trusted(const QByteArray &bytes, const QByteArray &signature, QString *reason) const;
    // The newest publication time the store has accepted; false when it cannot be told.
    bool newestAccepted(QDateTime *newest, QString *error) const;
    bool rememberPublication(const QDateTime &published, QString *error);
    // Digest and firmware checks of a file; sha256 is the catalogue's
    // lower-case digest, empty when it gives none. why: what failed.
    FileCheck checkFirmwareFile(const QString &sha256, const QString &file, QString *why) const;
    void discardFirmwareFile(const QString &fileName);
    void fetchFromAnotherAddress(const QString &fileName, const QString &failedUrl);

    VersionModel *model = nullptr;
    QList<VersionEntry> listedEntries; // the current catalogue's usable entries, with their paths
    QList<VersionEntry> pendingVersions;
    QStringList pendingDigests; // the "sha256" of each pending version, empty when none
    QSet<QString> failedFirmwareUrls; // normalised addresses that failed during this refresh
    QHash<QString, int> firmwareRequests; // per file name, for the whole session
    QList<DownloadManager *> downloads;   // the running ones; released when they end
    QHash<DownloadManager *, Transfer> transfers;
    QNetworkAccessManager network; // one for every transfer
    QUrl appPath;

    QUrl serverBase;
    bool localOnly = false; // set only while refreshLocalValues runs
    QByteArray catalogueKey;
    QString storeOverride;
    int stallTimeoutMs = 0; // 0: the download's own default
    bool signedCheckRunning = false; // a signed catalogue is being fetched and checked
    bool passwordAfterCheck = false; // keyed: fetch the password file once the catalogue is checked
    QString passwordSha256;          // of the latest local catalogue read in keyed mode
    bool refreshing = false;
    bool waitingForLock = false;
    int lockAttempts = 0; // of the running refresh
    std::unique_ptr<QLockFile> storeLock; // set while this object holds the store
    QString storeLockPath;
    QElapsedTimer lockWaited;
    QTimer lockRetry;
    QTimer lockTouch; // the holder's sign of life
    QString problem;
    bool starting = false; // inside refreshValues
    bool settleQueued = false;
    CatalogueOutcome outcome = CatalogueOutcome::NotAsked;
    int firmwareFailures = 0;
};
