#pragma once

#include "versionentry.h"

#include <QList>
#include <QModelIndex>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QUrl>

class DownloadManager;
class VersionModel;

// Keeps the local firmware store up to date from the catalogue server and
// lists the versions whose firmware files are present in a VersionModel.
//
// With a public key (the build's NVX_CATALOGUE_PUBLIC_KEY, or setPublicKey)
// a downloaded catalogue is fetched into the "incoming" folder of the store
// together with "731Versions.json.sig" (see cataloguetrust.h) and replaces
// the local catalogue only when the signature verifies; the local catalogue
// itself is read only when it is the built-in one or its stored signature
// verifies. Entries without "sha256" are then never downloaded. Without a
// key no signature is requested and any catalogue is read.
//
// Either way, a firmware file is listed only after it passed the firmware
// check and, when its entry gives "sha256", the digest check; a file that
// fails is deleted, so the next refresh requests it again.
class VersionComboBoxManagement : public QObject
{
    Q_OBJECT

public:
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
    void installBuiltInFile(const QString &resourceDir, const QString &resourceName, const QString &targetDir,
                            const QString &targetName);
    bool processMetadataFile(const QString &path);
    void processPasswordFile(const QString &path);

    // Creates, keeps and starts a download into the firmware directory,
    // unless a transfer to the same file is still running.
    DownloadManager *startDownload(const QUrl &url, void (VersionComboBoxManagement::*slot)(int, QUrl),
                                   const QString &directory);
    bool transferRunningTo(const QString &fileName) const;
    QString finishedFilePath(const QUrl &url) const;
    QString fileUrl(const QString &fileName) const;

    // Signed catalogue: the download goes to the incoming folder first.
    void signedMetadataDownloadFinished(int status, QUrl url);
    void signatureDownloadFinished(int status, QUrl url);
    void discardIncoming(const QString &reason);
    bool installIncoming();
    QString incomingDirectory() const;
    bool localCatalogueTrusted(const QString &path, const QByteArray &bytes, QString *reason) const;
    // Digest and firmware checks of a stored file; a file that fails is deleted.
    // sha256 is the catalogue's lower-case digest, empty when it gives none.
    bool acceptFirmwareFile(const QString &sha256, const QString &file);
    void discardFirmwareFile(const QString &file);
    void fetchFromAnotherAddress(const QString &file, const QString &failedUrl);

    VersionModel *model = nullptr;
    QList<VersionEntry> pendingVersions;
    QStringList pendingDigests; // the "sha256" of each pending version, empty when none
    QSet<QString> failedFirmwareUrls; // firmware addresses that failed during this refresh
    QList<DownloadManager *> downloads;
    QUrl appPath;
    int metadataDownloadIndex = -1;
    int passwordDownloadIndex = -1;

    QUrl serverBase;
    bool localOnly = false; // set only while refreshLocalValues runs
    QByteArray catalogueKey;
    QString storeOverride;
    bool signedCheckRunning = false; // a signed catalogue is being fetched and checked
};
