#include "versioncomboboxmanagement.h"

#include "catalogueconfig.h"
#include "cataloguedocument.h"
#include "cataloguetrust.h"
#include "downloadmanager.h"
#include "firmwarecheck.h"
#include "firmwarestore.h"
#include "safefile.h"
#include "versionmodel.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

using catalogue::CatalogueDocument;
using catalogue::parseCatalogue;

namespace {

const QString kResourceDir = QStringLiteral(":/firmware");
const QString kBuiltInImageName = QStringLiteral("731-001-010-2019-11-28-1324.txt");
constexpr int kPathCode = 6; // VersionModel::myData code of the local path

// Size caps per kind, generous for what each file really is.
constexpr qint64 kMaxCatalogueBytes = 2 * 1024 * 1024; // the built-in one is 5 KiB
constexpr qint64 kMaxSignatureBytes = 4 * 1024;        // 89 bytes
constexpr qint64 kMaxPasswordBytes = 256 * 1024;       // a few records of 100 bytes
constexpr qint64 kMaxFirmwareBytes = 4 * 1024 * 1024;  // the firmware check refuses more than 1 MiB anyway

// Firmware transfers per file name in one session (one program run), so
// that no address, however it fails, is asked again and again.
constexpr int kMaxRequestsPerFile = 4;

} // namespace

VersionComboBoxManagement::VersionComboBoxManagement(QObject *parent)
    : VersionComboBoxManagement(defaultServerBase(), parent)
{
}

VersionComboBoxManagement::VersionComboBoxManagement(const QUrl &serverBase, QObject *parent)
    : QObject(parent), serverBase(serverBase), catalogueKey(catalogue::builtInPublicKey())
{
}

VersionComboBoxManagement::~VersionComboBoxManagement()
{
    // Running transfers use `network`, a member that is gone before QObject
    // would delete them as children.
    qDeleteAll(downloads);
}

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
    stallTimeoutMs = ms;
}

FirmwareStore VersionComboBoxManagement::store() const
{
    return FirmwareStore(storeDirectory());
}

QString VersionComboBoxManagement::fileUrl(const QString &fileName) const
{
    QString base = serverBase.toString();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base + QLatin1Char('/') + fileName;
}

void VersionComboBoxManagement::refreshValues(VersionModel *model)
{
    this->model = model;
    failedFirmwareUrls.clear(); // every address gets another chance at each refresh
    firmwareFailures = 0;

    const QString directory = storeDirectory();
    if (directory.isEmpty())
        qFatal("Cannot determine settings storage location");
    installBuiltInFile(kResourceDir, FirmwareStore::kCatalogueName, directory, FirmwareStore::kCatalogueName);
    installBuiltInFile(kResourceDir, FirmwareStore::kPasswordName, directory, FirmwareStore::kPasswordName);
    // Downloads need the folder even when no built-in file was copied there.
    if (!store().prepare())
        qWarning().noquote() << "Cannot prepare the firmware folder " + directory;
    refreshing = true;
    starting = true; // a transfer that cannot even start must not settle the refresh half-way

    const QUrl catalogueUrl(fileUrl(FirmwareStore::kCatalogueName));
    if (catalogueKey.isEmpty()) {
        outcome = CatalogueOutcome::Pending;
        startDownload(Kind::Catalogue, catalogueUrl, FirmwareStore::kCatalogueName);
        startPasswordDownload();
    } else if (signedCheckRunning) {
        qDebug().noquote() << "Signed version file still being fetched";
    } else {
        outcome = CatalogueOutcome::Pending;
        // The password file waits for the checked catalogue, which gives its digest.
        signedCheckRunning = startDownload(Kind::Catalogue, catalogueUrl, FirmwareStore::kCatalogueName) != nullptr;
        if (signedCheckRunning)
            passwordAfterCheck = true;
        else
            startPasswordDownload();
    }

    // Whatever catalogue is here already fills the list while the new one loads.
    processMetadataFile(directory + QLatin1Char('/') + FirmwareStore::kCatalogueName);
    starting = false;
    if (!settleQueued) {
        settleQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                settleQueued = false;
                checkSettled();
            },
            Qt::QueuedConnection);
    }
}

void VersionComboBoxManagement::refreshLocalValues(VersionModel *model)
{
    this->model = model;
    const QString directory = storeDirectory();
    if (directory.isEmpty())
        qFatal("Cannot determine settings storage location");

    installBuiltInFile(kResourceDir, FirmwareStore::kCatalogueName, directory, FirmwareStore::kCatalogueName);
    installBuiltInFile(kResourceDir, FirmwareStore::kPasswordName, directory, FirmwareStore::kPasswordName);
    localOnly = true;
    processMetadataFile(directory + QLatin1Char('/') + FirmwareStore::kCatalogueName);
    localOnly = false;
}

bool VersionComboBoxManagement::transferRunningTo(const QString &fileName) const
{
    for (auto it = transfers.cbegin(); it != transfers.cend(); ++it) {
        if (it.value().fileName == fileName && it.key()->isActive())
            return true;
    }
    return false;
}

VersionComboBoxManagement::Transfer VersionComboBoxManagement::transferOf(QObject *download) const
{
    return transfers.value(qobject_cast<DownloadManager *>(download));
}

DownloadManager *VersionComboBoxManagement::startDownload(Kind kind, const QUrl &url, const QString &fileName)
{
    if (localOnly)
        return nullptr;
    if (transferRunningTo(fileName)) {
        // Two transfers must never write the same file; the running one ends
        // with the version listed if it succeeds.
        qDebug().noquote() << "Download already running for" << fileName;
        return nullptr;
    }
    if (kind == Kind::Firmware) {
        int &requests = firmwareRequests[fileName];
        if (requests >= kMaxRequestsPerFile) {
            qWarning().noquote() << "Not requesting " + fileName + " again: "
                                        + QString::number(requests) + " requests in this session";
            return nullptr;
        }
        ++requests;
    }

    auto *download = new DownloadManager(this);
    download->setNetworkAccessManager(&network);
    switch (kind) {
    case Kind::Catalogue:
        download->setMaxBytes(kMaxCatalogueBytes);
        connect(download, &DownloadManager::finished, this,
                catalogueKey.isEmpty() ? &VersionComboBoxManagement::metadataDownloadFinished
                                       : &VersionComboBoxManagement::signedMetadataDownloadFinished);
        break;
    case Kind::Signature:
        download->setMaxBytes(kMaxSignatureBytes);
        connect(download, &DownloadManager::finished, this, &VersionComboBoxManagement::signatureDownloadFinished);
        break;
    case Kind::Password:
        download->setMaxBytes(kMaxPasswordBytes);
        connect(download, &DownloadManager::finished, this, &VersionComboBoxManagement::passwordDownloadFinished);
        break;
    case Kind::Firmware:
        download->setMaxBytes(kMaxFirmwareBytes);
        connect(download, &DownloadManager::finished, this, &VersionComboBoxManagement::firmwareDownloadFinished);
        break;
    }
    // After the handler above: the transfer object goes once its end is handled.
    connect(download, &DownloadManager::finished, this, [this, download] { release(download); });
    if (stallTimeoutMs > 0)
        download->setStallTimeout(stallTimeoutMs);
    download->setDownloadPath(store().stagingDirectory());
    download->setFileName(fileName);
    download->setUrl(url);
    downloads.append(download);
    transfers.insert(download, Transfer{kind, fileName, catalogue::normalisedUrl(url)});
    download->downloadFile();
    if (!download->isActive()) {
        // An empty or invalid address never starts, so it never ends either.
        release(download);
        return nullptr;
    }
    return download;
}

void VersionComboBoxManagement::release(DownloadManager *download)
{
    transfers.remove(download);
    downloads.removeAll(download);
    download->deleteLater();
    checkSettled();
}

void VersionComboBoxManagement::checkSettled()
{
    if (!refreshing || starting || !downloads.isEmpty() || signedCheckRunning || passwordAfterCheck)
        return;
    refreshing = false;
    // Nothing runs, so whatever is left in the staging folder is a leftover.
    const QString staging = store().stagingDirectory();
    if (!safefile::isSymLink(staging)) {
        for (const QString &name : QDir(staging).entryList(QDir::Files | QDir::Hidden | QDir::System))
            safefile::remove(staging + QLatin1Char('/') + name);
    }
    emit refreshSettled();
}

void VersionComboBoxManagement::installBuiltInFile(const QString &resourceDir, const QString &resourceName,
                                                   const QString &targetDir, const QString &targetName)
{
    // A link in place of the file is not the store's file: it is replaced.
    if (safefile::isRegularFile(targetDir + QLatin1Char('/') + targetName))
        return;
    const QString resource = resourceDir + QLatin1Char('/') + resourceName;
    if (!QFileInfo::exists(resource)) {
        qDebug() << "no built in metadata - check project resources";
        return;
    }
    if (targetDir.isEmpty())
        qFatal("Cannot determine settings storage location");
    if (!QDir().mkpath(QDir(targetDir).absolutePath()) || !QDir::setCurrent(targetDir))
        return;
    qDebug().noquote() << "metadata in" << QDir::currentPath();
    QFile source(resource);
    QString error;
    // Written owner read and write, so that later downloads can replace it.
    if (!source.open(QIODevice::ReadOnly) || !FirmwareStore(targetDir).write(resourceName, source.readAll(), &error))
        qWarning().noquote() << "Built-in file not installed: " + resourceName + " " + error;
}

bool VersionComboBoxManagement::processMetadataFile(const QString &path)
{
    QByteArray bytes;
    QString why;
    if (!safefile::readRegularFile(path, kMaxCatalogueBytes, &bytes, &why)) {
        qWarning().noquote() << "processMetadataFile. Couldn't read local version file" + path;
        qDebug().noquote() << path + ": " + why;
        return false;
    }

    const FirmwareStore files = store();
    installBuiltInFile(kResourceDir, kBuiltInImageName, files.directory(), kBuiltInImageName);

    const bool keyed = !catalogueKey.isEmpty();
    if (keyed) {
        passwordSha256.clear();
        QString distrust;
        if (!localCatalogueTrusted(path, bytes, &distrust)) {
            qWarning().noquote() << "processMetadataFile. Local version file not trusted, " + distrust + ": " + path;
            return false;
        }
    }

    const CatalogueDocument document = parseCatalogue(bytes);
    if (!document.ok) {
        qWarning() << "Couldn't parse local metadata file.";
        qDebug().noquote() << path + ": " + document.error;
        return false;
    }
    if (keyed)
        passwordSha256 = document.passwordSha256;
    for (const QString &skipped : document.skipped)
        qWarning().noquote() << "processMetadataFile. Skipping version " + skipped;

    for (const catalogue::CatalogueEntry &item : document.entries) {
        VersionEntry entry = item.version;
        entry.path = files.pathOf(entry.filename);
        if (files.holds(entry.filename)) {
            if (firmwareFileGood(item.sha256, entry.path)) {
                if (model)
                    model->addVersion(entry);
                continue;
            }
            discardFirmwareFile(entry.filename); // and fetch it again below
        }
        if (localOnly)
            continue;
        if (keyed && item.sha256.isEmpty()) {
            // A signed catalogue vouches for a file only through its digest.
            // Debug level: the built-in catalogue has no digests at all.
            qDebug().noquote() << "processMetadataFile. Not downloading version" << entry.number << "without sha256";
            continue;
        }
        startDownload(Kind::Firmware, QUrl(entry.url), entry.filename);
        pendingVersions.append(entry);
        pendingDigests.append(item.sha256);
    }
    return true;
}

void VersionComboBoxManagement::metadataDownloadFinished(int status, QUrl url)
{
    Q_UNUSED(url)
    const FirmwareStore files = store();
    const QString local = files.pathOf(FirmwareStore::kCatalogueName);
    if (status != 0) {
        // The local copy, which a failed download leaves untouched, is used.
        qWarning() << "Couldn't copy remote version file.";
        outcome = CatalogueOutcome::Unreachable;
        files.discardStaged(FirmwareStore::kCatalogueName);
        processMetadataFile(local);
        return;
    }
    QByteArray bytes;
    QString why;
    const bool readable = files.readStaged(FirmwareStore::kCatalogueName, kMaxCatalogueBytes, &bytes, &why);
    const CatalogueDocument document = parseCatalogue(bytes);
    if (!readable || !document.ok) {
        // Discarded before it replaced anything: the local catalogue is read again.
        qWarning() << "Couldn't parse local metadata file.";
        qDebug().noquote() << "Remote version file discarded: " + (readable ? document.error : why);
        outcome = CatalogueOutcome::Refused;
    } else if (!installIncoming(false)) {
        qWarning().noquote() << "Remote version file discarded, it could not be stored; the local version file "
                                "stays in use.";
        outcome = CatalogueOutcome::Refused;
    } else {
        outcome = CatalogueOutcome::Installed;
    }
    files.discardStaged(FirmwareStore::kCatalogueName);
    processMetadataFile(local);
}

void VersionComboBoxManagement::firmwareDownloadFinished(int status, QUrl url)
{
    Transfer transfer = transferOf(sender());
    if (transfer.fileName.isEmpty()) {
        // Not from one of our transfers: find the entry by its address.
        transfer.normalisedUrl = catalogue::normalisedUrl(url);
        for (int i = pendingVersions.size() - 1; i >= 0 && transfer.fileName.isEmpty(); --i) {
            if (catalogue::normalisedUrl(QUrl(pendingVersions.at(i).url)) == transfer.normalisedUrl)
                transfer.fileName = pendingVersions.at(i).filename;
        }
        if (transfer.fileName.isEmpty())
            return;
    }
    const FirmwareStore files = store();
    if (status == 0) {
        // The latest catalogue pass holds the digest that counts.
        int i = pendingVersions.size() - 1;
        while (i >= 0 && pendingVersions.at(i).filename != transfer.fileName)
            --i;
        QString error;
        if (i >= 0 && firmwareFileGood(pendingDigests.at(i), files.stagedPathOf(transfer.fileName))) {
            if (files.install(transfer.fileName, &error)) {
                if (model)
                    model->addVersion(pendingVersions.at(i));
                return;
            }
            qWarning().noquote() << "Firmware file not stored: " + error;
        }
    }
    files.discardStaged(transfer.fileName);
    ++firmwareFailures;
    fetchFromAnotherAddress(transfer.fileName, transfer.normalisedUrl);
}

void VersionComboBoxManagement::fetchFromAnotherAddress(const QString &fileName, const QString &failedUrl)
{
    // A request skipped while this transfer ran (two catalogues naming one
    // file at different addresses) gets its turn now, newest entry first.
    // Addresses compare in normal form: one address spelt two ways is one.
    failedFirmwareUrls.insert(failedUrl);
    for (int i = pendingVersions.size() - 1; i >= 0; --i) {
        const VersionEntry &entry = pendingVersions.at(i);
        if (entry.filename != fileName)
            continue;
        if (failedFirmwareUrls.contains(catalogue::normalisedUrl(QUrl(entry.url))))
            continue;
        startDownload(Kind::Firmware, QUrl(entry.url), fileName);
        return;
    }
}

bool VersionComboBoxManagement::firmwareFileGood(const QString &sha256, const QString &file) const
{
    if (!sha256.isEmpty()) {
        const QString actual = catalogue::fileSha256Hex(file);
        if (actual != sha256) {
            qWarning().noquote() << "Firmware file deleted, its sha256 differs from the catalogue:" << file
                                 << "has" << actual << "catalogue" << sha256;
            return false;
        }
    }
    // A truncated transfer or an error page must never reach the instrument.
    const bsl::FirmwareCheck check = bsl::checkFirmwareFile(file);
    if (!check.ok) {
        qWarning().noquote() << "Firmware file deleted, it failed the firmware check:" << file << "-" << check.reason;
        return false;
    }
    return true;
}

void VersionComboBoxManagement::discardFirmwareFile(const QString &fileName)
{
    const FirmwareStore files = store();
    files.removeFirmware(fileName);
    // Another entry may have listed the same file already; a row must never
    // offer a version whose file is gone.
    if (!model)
        return;
    const QString path = files.pathOf(fileName);
    for (int row = model->rowCount() - 1; row >= 0; --row) {
        if (model->myData(row, kPathCode).toString() == path)
            model->removeVersion(row);
    }
}

bool VersionComboBoxManagement::localCatalogueTrusted(const QString &path, const QByteArray &bytes,
                                                      QString *reason) const
{
    // The built-in catalogue is part of the program.
    QFile resource(kResourceDir + QLatin1Char('/') + FirmwareStore::kCatalogueName);
    if (resource.open(QIODevice::ReadOnly) && resource.readAll() == bytes)
        return true;
    QByteArray signature;
    if (!safefile::readRegularFile(path + QStringLiteral(".sig"), kMaxSignatureBytes, &signature)) {
        *reason = QStringLiteral("no signature");
        return false;
    }
    return catalogue::verifyCatalogueSignature(bytes, signature, catalogueKey, reason);
}

QDateTime VersionComboBoxManagement::installedPublicationTime() const
{
    const QString path = store().pathOf(FirmwareStore::kCatalogueName);
    QByteArray bytes;
    QString ignored;
    if (!safefile::readRegularFile(path, kMaxCatalogueBytes, &bytes) || !localCatalogueTrusted(path, bytes, &ignored))
        return QDateTime();
    return parseCatalogue(bytes).published;
}

void VersionComboBoxManagement::signedMetadataDownloadFinished(int status, QUrl url)
{
    Q_UNUSED(url)
    if (status != 0) {
        qWarning() << "Couldn't copy remote version file.";
        outcome = CatalogueOutcome::Unreachable;
        discardIncoming(QString());
        return;
    }
    const QUrl signatureUrl(fileUrl(FirmwareStore::kSignatureName));
    if (!startDownload(Kind::Signature, signatureUrl, FirmwareStore::kSignatureName))
        discardIncoming(QStringLiteral("its signature is already being fetched"));
}

void VersionComboBoxManagement::signatureDownloadFinished(int status, QUrl url)
{
    Q_UNUSED(url)
    if (status != 0) {
        discardIncoming(QStringLiteral("signature could not be downloaded"));
        return;
    }
    const FirmwareStore files = store();
    QByteArray bytes;
    QByteArray signature;
    QString reason;
    if (!files.readStaged(FirmwareStore::kCatalogueName, kMaxCatalogueBytes, &bytes, &reason)
        || !files.readStaged(FirmwareStore::kSignatureName, kMaxSignatureBytes, &signature, &reason)) {
        discardIncoming(reason);
        return;
    }
    if (!catalogue::verifyCatalogueSignature(bytes, signature, catalogueKey, &reason)) {
        discardIncoming(reason);
        return;
    }
    const CatalogueDocument document = parseCatalogue(bytes);
    if (!document.ok) {
        qDebug().noquote() << "Signed version file: " + document.error;
        discardIncoming(QStringLiteral("signed, but not a catalogue"));
        return;
    }
    // A validly signed but older catalogue is a replay: it would take back
    // versions published since. Catalogues without a publication time (from
    // before it was written) are accepted only while the installed one has none.
    const QDateTime installed = installedPublicationTime();
    if (installed.isValid() && !document.published.isValid()) {
        discardIncoming(QStringLiteral("it has no publication time and the installed one has"));
        return;
    }
    if (installed.isValid() && document.published < installed) {
        discardIncoming(QStringLiteral("it is older than the installed one (published %1, installed %2)")
                            .arg(document.published.toString(Qt::ISODate), installed.toString(Qt::ISODate)));
        return;
    }
    if (!installIncoming(true)) {
        discardIncoming(QStringLiteral("it could not be stored"));
        return;
    }
    outcome = CatalogueOutcome::Installed;
    discardIncoming(QString());
}

bool VersionComboBoxManagement::installIncoming(bool withSignature)
{
    const FirmwareStore files = store();
    // Catalogue first: should the signature not follow, the pair fails its
    // check on the next read instead of vouching for the old catalogue.
    QString error;
    if (!files.install(FirmwareStore::kCatalogueName, &error)
        || (withSignature && !files.install(FirmwareStore::kSignatureName, &error))) {
        qDebug().noquote() << error;
        return false;
    }
    return true;
}

void VersionComboBoxManagement::discardIncoming(const QString &reason)
{
    if (!reason.isEmpty()) {
        outcome = CatalogueOutcome::Refused;
        qWarning().noquote() << "Remote version file discarded, " + reason
                                    + "; the local version file stays in use.";
    }
    const FirmwareStore files = store();
    files.discardStaged(FirmwareStore::kCatalogueName);
    files.discardStaged(FirmwareStore::kSignatureName);
    signedCheckRunning = false;
    processMetadataFile(files.pathOf(FirmwareStore::kCatalogueName));
    if (passwordAfterCheck) {
        passwordAfterCheck = false;
        startPasswordDownload();
    }
}

void VersionComboBoxManagement::startPasswordDownload()
{
    startDownload(Kind::Password, QUrl(fileUrl(FirmwareStore::kPasswordName)), FirmwareStore::kPasswordName);
}

void VersionComboBoxManagement::passwordDownloadFinished(int status, QUrl url)
{
    Q_UNUSED(url)
    const FirmwareStore files = store();
    if (status != 0) {
        qWarning() << "Couldn't copy remote password file.";
    } else {
        // The working file is replaced only by one the workflow can use: an
        // error page or an empty body would leave every instrument "Unknown".
        QByteArray bytes;
        QString why;
        bool good = files.readStaged(FirmwareStore::kPasswordName, kMaxPasswordBytes, &bytes, &why)
                    && catalogue::checkPasswordFile(bytes, &why);
        if (good && !catalogueKey.isEmpty() && !passwordSha256.isEmpty()
            && catalogue::sha256Hex(bytes) != passwordSha256) {
            good = false;
            why = QStringLiteral("its sha256 differs from the signed catalogue");
        }
        if (good && !files.install(FirmwareStore::kPasswordName, &why))
            good = false;
        if (!good) {
            qWarning().noquote() << "Remote password file discarded, " + why
                                        + "; the local password file stays in use.";
        }
    }
    files.discardStaged(FirmwareStore::kPasswordName);
    processPasswordFile(files.pathOf(FirmwareStore::kPasswordName));
}

void VersionComboBoxManagement::processPasswordFile(const QString &path)
{
    QByteArray bytes;
    if (!safefile::readRegularFile(path, kMaxPasswordBytes, &bytes)) {
        qWarning().noquote() << "processPasswordFile. Couldn't read local password file" + path;
        // The built-in copy is the backup of last resort.
        const QFileInfo info(path);
        installBuiltInFile(kResourceDir, FirmwareStore::kPasswordName, info.path(), info.fileName());
    }
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
