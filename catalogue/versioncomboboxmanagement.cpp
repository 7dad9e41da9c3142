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
#include <QLockFile>
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

// The store's lock: one process at a time fetches, installs and deletes.
constexpr int kStoreLockWaitMs = 60000;      // for another process's refresh; seconds on a working line
constexpr int kStoreLockPollMs = 250;        // between attempts while another process holds it
constexpr int kStoreLockStaleMs = 5 * 60000; // a holder that has not touched it this long has gone astray
constexpr int kStoreLockTouchMs = 60000;     // the holder's sign of life
constexpr int kUnnamedLockGraceMs = 5000;    // a holder writes its name right after creating the file

// A catalogue published further ahead of this computer's clock has one clock or the other wrong.
constexpr qint64 kMaxPublishedAheadSecs = 24 * 3600;

QByteArray builtInCatalogue()
{
    QFile resource(kResourceDir + QLatin1Char('/') + FirmwareStore::kCatalogueName);
    return resource.open(QIODevice::ReadOnly) ? resource.readAll() : QByteArray();
}

// Empty when published may be installed by this computer's clock.
QString publishedAheadOfClock(const QDateTime &published)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!published.isValid() || published <= now.addSecs(kMaxPublishedAheadSecs))
        return QString();
    return QStringLiteral("it is published %1, more than a day ahead of this computer's clock (%2): the "
                          "catalogue's or this computer's clock is wrong")
        .arg(published.toString(Qt::ISODate), now.toString(Qt::ISODate));
}

} // namespace

VersionComboBoxManagement::VersionComboBoxManagement(QObject *parent)
    : VersionComboBoxManagement(defaultServerBase(), parent)
{
}

VersionComboBoxManagement::VersionComboBoxManagement(const QUrl &serverBase, QObject *parent)
    : QObject(parent), serverBase(serverBase), catalogueKey(catalogue::builtInPublicKey())
{
    lockRetry.setSingleShot(true);
    lockRetry.setInterval(kStoreLockPollMs);
    connect(&lockRetry, &QTimer::timeout, this, &VersionComboBoxManagement::attemptStoreLock);
    lockTouch.setInterval(kStoreLockTouchMs);
    connect(&lockTouch, &QTimer::timeout, this, [this] { safefile::touch(storeLockPath); });
}

VersionComboBoxManagement::~VersionComboBoxManagement()
{
    // Running transfers use `network`, a member that is gone before QObject
    // would delete them as children.
    qDeleteAll(downloads);
    releaseStore();
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
    installBuiltIns(directory);
    if (refreshing) {
        // The running refresh lists again when its catalogue arrives.
        qDebug().noquote() << "Refresh still running";
        processMetadataFile();
        return;
    }
    refreshing = true;
    waitingForLock = true;
    lockAttempts = 0;
    outcome = CatalogueOutcome::Pending;
    problem.clear();
    lockWaited.start();
    attemptStoreLock();
}

void VersionComboBoxManagement::attemptStoreLock()
{
    QString why;
    const LockAttempt attempt = lockStore(&why);
    if (attempt == LockAttempt::Held) {
        waitingForLock = false;
        startRefresh();
        return;
    }
    if (lockAttempts++ == 0) {
        // What is stored fills the list meanwhile.
        qDebug().noquote() << "Firmware folder not locked: " + why;
        processMetadataFile();
    }
    if (attempt == LockAttempt::Busy && lockWaited.elapsed() < kStoreLockWaitMs) {
        lockRetry.start();
        return;
    }
    outcome = attempt == LockAttempt::Busy ? CatalogueOutcome::StoreBusy : CatalogueOutcome::StoreUnusable;
    problem = attempt == LockAttempt::Busy ? why + QStringLiteral(" for more than %1 s").arg(kStoreLockWaitMs / 1000)
                                           : why;
    qWarning().noquote() << "Catalogue not refreshed, " + problem + "; the stored versions are listed.";
    waitingForLock = false;
    queueSettleCheck();
}

void VersionComboBoxManagement::startRefresh()
{
    starting = true; // a transfer that cannot even start must not settle the refresh half-way
    lockTouch.start();
    // Downloads need the folder even when no built-in file was copied there.
    if (!store().prepare())
        qWarning().noquote() << "Cannot prepare the firmware folder " + storeDirectory();

    const QUrl catalogueUrl(fileUrl(FirmwareStore::kCatalogueName));
    if (catalogueKey.isEmpty()) {
        startDownload(Kind::Catalogue, catalogueUrl, FirmwareStore::kCatalogueName);
        startPasswordDownload();
    } else {
        // The password file waits for the checked catalogue, which gives its digest.
        signedCheckRunning = startDownload(Kind::Catalogue, catalogueUrl, FirmwareStore::kCatalogueName) != nullptr;
        if (signedCheckRunning)
            passwordAfterCheck = true;
        else
            startPasswordDownload();
    }

    // Whatever catalogue is here already fills the list while the new one loads.
    processMetadataFile();
    starting = false;
    queueSettleCheck();
}

void VersionComboBoxManagement::queueSettleCheck()
{
    if (settleQueued)
        return;
    settleQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            settleQueued = false;
            checkSettled();
        },
        Qt::QueuedConnection);
}

VersionComboBoxManagement::LockAttempt VersionComboBoxManagement::lockStore(QString *why)
{
    if (storeLock)
        return LockAttempt::Held;
    const FirmwareStore files = store();
    if (!QDir().mkpath(files.directory())) {
        safefile::checkWritableFolder(files.directory(), why);
        return LockAttempt::Failed;
    }
    storeLockPath = files.pathOf(FirmwareStore::kLockName);
    auto lock = std::make_unique<QLockFile>(storeLockPath);
    // A crashed holder is found by its process id, a hung one by the age of its file.
    lock->setStaleLockTime(kStoreLockStaleMs);
    qint64 pid = 0;
    QString host, application;
    const QFileInfo file(storeLockPath);
    const bool named = lock->getLockInfo(&pid, &host, &application);
    // A file that names no holder (cut short as it was made), not being written just now.
    if (file.exists() && !named && qAbs(file.lastModified().msecsTo(QDateTime::currentDateTime())) > kUnnamedLockGraceMs)
        lock->removeStaleLockFile();
    if (lock->tryLock(0)) {
        storeLock = std::move(lock);
        return LockAttempt::Held;
    }
    if (lock->error() == QLockFile::LockFailedError) {
        *why = named ? QStringLiteral("another process (%1) is refreshing the firmware folder").arg(pid)
                     : QStringLiteral("another process is refreshing the firmware folder");
        return LockAttempt::Busy;
    }
    // Held by nobody, and yet not made: the folder will not take a file.
    if (safefile::checkWritableFolder(files.directory(), why))
        *why = QStringLiteral("cannot create the lock file ") + QDir::toNativeSeparators(storeLockPath);
    return LockAttempt::Failed;
}

void VersionComboBoxManagement::releaseStore()
{
    lockTouch.stop();
    if (!storeLock)
        return;
    store().removeStaging();
    storeLock.reset(); // unlocks
}

void VersionComboBoxManagement::refreshLocalValues(VersionModel *model)
{
    this->model = model;
    const QString directory = storeDirectory();
    if (directory.isEmpty())
        qFatal("Cannot determine settings storage location");

    installBuiltIns(directory);
    localOnly = true;
    // Repairs and deletions only as the store's owner; a busy store is listed as it is.
    QString busy;
    const bool lockedHere = !storeLock && lockStore(&busy) == LockAttempt::Held;
    processMetadataFile();
    if (lockedHere)
        releaseStore();
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
    if (!refreshing || starting || waitingForLock || !downloads.isEmpty() || signedCheckRunning
        || passwordAfterCheck)
        return;
    refreshing = false;
    // Nothing runs, so whatever is left in the staging folder is a leftover.
    releaseStore();
    emit refreshSettled();
}

void VersionComboBoxManagement::installBuiltInFile(const QString &resourceDir, const QString &resourceName,
                                                   const QString &targetDir, const QString &targetName)
{
    QString error;
    const safefile::Lookup found = safefile::lookUp(targetDir + QLatin1Char('/') + targetName, &error);
    if (found == safefile::Lookup::RegularFile)
        return;
    if (found == safefile::Lookup::Failed) {
        // Only a missing file is installed: this one may hold what the store learned.
        qWarning().noquote() << "Built-in file not installed, " + error + "; the file there is left as it is";
        return;
    }
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
    const FirmwareStore target(targetDir);
    // Written owner read and write, so that later downloads can replace it. A
    // link in place of the file is not the store's file: it is replaced. A
    // missing file is created only if still missing: another process may
    // have installed its download meanwhile.
    const bool installed = source.open(QIODevice::ReadOnly)
                           && (found == safefile::Lookup::Missing ? target.create(resourceName, source.readAll(), &error)
                                                                   : target.write(resourceName, source.readAll(), &error));
    if (!installed)
        qWarning().noquote() << "Built-in file not installed: " + resourceName + " " + error;
}

void VersionComboBoxManagement::installBuiltIns(const QString &directory)
{
    installBuiltInFile(kResourceDir, FirmwareStore::kCatalogueName, directory, FirmwareStore::kCatalogueName);
    installBuiltInFile(kResourceDir, FirmwareStore::kPasswordName, directory, FirmwareStore::kPasswordName);
}

bool VersionComboBoxManagement::trusted(const QByteArray &bytes, const QByteArray &signature, QString *reason) const
{
    // Without a key any catalogue is read; the built-in one is part of the program.
    if (catalogueKey.isEmpty() || bytes == builtInCatalogue())
        return true;
    return catalogue::verifyCatalogueSignature(bytes, signature, catalogueKey, reason);
}

VersionComboBoxManagement::Installed VersionComboBoxManagement::readInstalledCatalogue() const
{
    const FirmwareStore files = store();
    const bool keyed = !catalogueKey.isEmpty();
    Installed installed;
    QString error;
    const safefile::Read catalogueRead =
        safefile::readFile(files.pathOf(FirmwareStore::kCatalogueName), kMaxCatalogueBytes, &installed.bytes, &error);
    const safefile::Read signatureRead =
        keyed ? safefile::readFile(files.pathOf(FirmwareStore::kSignatureName), kMaxSignatureBytes,
                                   &installed.signature, catalogueRead == safefile::Read::Failed ? nullptr : &error)
              : safefile::Read::Ok;
    const CatalogueDocument document = parseCatalogue(installed.bytes);
    if (catalogueRead == safefile::Read::Failed || signatureRead == safefile::Read::Failed) {
        installed.stored = Trouble::Unreadable;
        installed.problem = error;
    } else if (catalogueRead == safefile::Read::Missing) {
        installed.stored = Trouble::Missing;
    } else if (catalogueRead != safefile::Read::Ok || !document.ok) {
        installed.stored = Trouble::Damaged; // too large, not a file, or no catalogue
        installed.problem = catalogueRead == safefile::Read::Ok ? document.error : error;
    } else if (!trusted(installed.bytes, signatureRead == safefile::Read::Ok ? installed.signature : QByteArray(),
                        &installed.problem)) {
        installed.stored = Trouble::Untrusted;
        if (signatureRead != safefile::Read::Ok)
            installed.problem = QStringLiteral("no signature");
    } else {
        installed.source = Source::Stored;
        return installed;
    }

    // The pair does not hold: the last good catalogue the store kept, whatever
    // was cut short since, is the old or the new pair as a whole.
    QByteArray kept;
    if (safefile::readFile(files.pathOf(FirmwareStore::kKeptCatalogueName), kMaxCatalogueBytes + kMaxSignatureBytes,
                           &kept)
            == safefile::Read::Ok
        && FirmwareStore::splitKeptCatalogue(kept, &installed.bytes, &installed.signature)
        && parseCatalogue(installed.bytes).ok && trusted(installed.bytes, installed.signature, nullptr)) {
        installed.source = Source::Kept;
        return installed;
    }
    installed.signature.clear();
    // The built-in copy stands in for a missing or damaged catalogue, never for
    // one that cannot be read or one that is merely not signed.
    installed.bytes = installed.stored == Trouble::Missing || installed.stored == Trouble::Damaged
                          ? builtInCatalogue()
                          : QByteArray();
    if (!installed.bytes.isEmpty())
        installed.source = Source::BuiltIn;
    return installed;
}

void VersionComboBoxManagement::keepCatalogue(const Installed &installed)
{
    const FirmwareStore files = store();
    const QByteArray kept = FirmwareStore::keptCatalogue(installed.bytes, installed.signature);
    QByteArray current;
    QString error;
    // A kept copy that cannot be read stays as it is, like any stored file.
    const safefile::Read found = safefile::readFile(files.pathOf(FirmwareStore::kKeptCatalogueName),
                                                    kMaxCatalogueBytes + kMaxSignatureBytes, &current);
    if (found != safefile::Read::Failed && current != kept && !files.write(FirmwareStore::kKeptCatalogueName, kept, &error))
        qWarning().noquote() << "Version file not kept: " + error;
    if (!catalogueKey.isEmpty() && !rememberPublication(parseCatalogue(installed.bytes).published, &error))
        qWarning().noquote() << "Publication time not kept: " + error;
}

bool VersionComboBoxManagement::processMetadataFile()
{
    const FirmwareStore files = store();
    const QString path = files.pathOf(FirmwareStore::kCatalogueName);
    const bool owner = storeLock != nullptr;
    const bool keyed = !catalogueKey.isEmpty();
    const Installed installed = readInstalledCatalogue();
    switch (installed.stored) {
    case Trouble::Unreadable:
        qWarning().noquote() << "processMetadataFile. Couldn't read local version file" + path;
        qDebug().noquote() << path + ": " + installed.problem;
        break;
    case Trouble::Damaged:
        qWarning() << "Couldn't parse local metadata file.";
        qDebug().noquote() << path + ": " + installed.problem;
        break;
    case Trouble::Untrusted:
        qWarning().noquote() << "processMetadataFile. Local version file not trusted, " + installed.problem + ": " + path;
        break;
    case Trouble::Missing:
    case Trouble::None:
        break;
    }
    if (installed.stored != Trouble::Unreadable)
        installBuiltInFile(kResourceDir, kBuiltInImageName, files.directory(), kBuiltInImageName);

    if (installed.source == Source::Kept || installed.source == Source::BuiltIn) {
        qWarning().noquote() << QStringLiteral("processMetadataFile. Using the %1 version file")
                                    .arg(installed.source == Source::Kept ? QStringLiteral("last good")
                                                                          : QStringLiteral("built-in"));
        // Put in place as a pair, catalogue first: until the signature
        // follows, a reader falls back on the kept copy as this one did.
        QString error;
        if (owner && installed.stored != Trouble::Unreadable && installed.stored != Trouble::Missing
            && (!files.write(FirmwareStore::kCatalogueName, installed.bytes, &error)
                || (installed.source == Source::Kept && keyed
                    && !files.write(FirmwareStore::kSignatureName, installed.signature, &error))))
            qWarning().noquote() << "Version file not put back: " + error;
    } else if (installed.source == Source::Stored && owner && installed.bytes != builtInCatalogue()) {
        keepCatalogue(installed);
    }

    listedEntries.clear();
    if (installed.source == Source::None) {
        if (keyed)
            passwordSha256.clear();
        withdrawUnlisted();
        return false;
    }
    const CatalogueDocument document = parseCatalogue(installed.bytes);
    if (keyed)
        passwordSha256 = document.passwordSha256;
    for (const QString &skipped : document.skipped)
        qWarning().noquote() << "processMetadataFile. Skipping version " + skipped;

    for (const catalogue::CatalogueEntry &item : document.entries) {
        VersionEntry entry = item.version;
        entry.path = files.pathOf(entry.filename);
        listedEntries.append(entry);
        QString why;
        const safefile::Lookup found = files.lookUp(entry.filename, &why);
        if (found == safefile::Lookup::Failed) {
            qWarning().noquote() << "processMetadataFile. Firmware file left as it is, " + why;
            continue;
        }
        if (found == safefile::Lookup::RegularFile) {
            const FileCheck check = checkFirmwareFile(item.sha256, entry.path, &why);
            if (check == FileCheck::Good) {
                if (model)
                    model->addVersion(entry);
                continue;
            }
            if (check == FileCheck::Unreadable) {
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
            discardFirmwareFile(entry.filename); // and fetch it again below
        }
        if (localOnly || !owner)
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
    withdrawUnlisted();
    return true;
}

bool VersionComboBoxManagement::isListed(const VersionEntry &entry) const
{
    for (const VersionEntry &listed : listedEntries) {
        if (listed.number == entry.number && listed.path == entry.path)
            return true;
    }
    return false;
}

void VersionComboBoxManagement::withdrawUnlisted()
{
    // A version the current catalogue no longer lists may be withdrawn for a
    // reason: it is not offered, though its file stays.
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

void VersionComboBoxManagement::metadataDownloadFinished(int status, QUrl url)
{
    Q_UNUSED(url)
    const FirmwareStore files = store();
    if (status != 0) {
        // The local copy, which a failed download leaves untouched, is used.
        qWarning() << "Couldn't copy remote version file.";
        outcome = CatalogueOutcome::Unreachable;
        discardIncoming(QString());
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
        problem = !readable ? why
                            : document.json ? QStringLiteral("not a catalogue (") + document.error + QLatin1Char(')')
                                            : QStringLiteral("not a catalogue (HTML page?)");
        discardIncoming(QString());
        return;
    }
    QString refusal = publishedAheadOfClock(document.published);
    if (refusal.isEmpty() && installIncoming(bytes, QByteArray(), document.published, &refusal))
        outcome = CatalogueOutcome::Installed;
    discardIncoming(refusal);
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
        const FileCheck check =
            i >= 0 ? checkFirmwareFile(pendingDigests.at(i), files.stagedPathOf(transfer.fileName), &error)
                   : FileCheck::Bad;
        if (check == FileCheck::Good) {
            if (files.install(transfer.fileName, &error)) {
                // Stored whatever catalogue asked for it; offered only while the current one lists it.
                if (model && isListed(pendingVersions.at(i)))
                    model->addVersion(pendingVersions.at(i));
                return;
            }
            qWarning().noquote() << "Firmware file not stored: " + error;
        } else if (i >= 0) {
            qWarning().noquote() << "Firmware file deleted, " + error;
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

VersionComboBoxManagement::FileCheck VersionComboBoxManagement::checkFirmwareFile(const QString &sha256,
                                                                                 const QString &file,
                                                                                 QString *why) const
{
    QByteArray bytes;
    switch (safefile::readFile(file, kMaxFirmwareBytes, &bytes, why)) {
    case safefile::Read::Ok:
        break;
    case safefile::Read::TooLarge:
        *why = QStringLiteral("it failed the firmware check: ") + file + QStringLiteral(" - ") + *why;
        return FileCheck::Bad;
    default:
        // Not a verdict on the file: whatever it holds, it stays.
        return FileCheck::Unreadable;
    }
    if (!sha256.isEmpty()) {
        const QString actual = catalogue::sha256Hex(bytes);
        if (actual != sha256) {
            *why = QStringLiteral("its sha256 differs from the catalogue: %1 has %2 catalogue %3").arg(file, actual, sha256);
            return FileCheck::Bad;
        }
    }
    // A truncated transfer or an error page must never reach the instrument.
    const bsl::FirmwareCheck check = bsl::checkFirmwareText(bytes);
    if (!check.ok) {
        *why = QStringLiteral("it failed the firmware check: ") + file + QStringLiteral(" - ") + check.reason;
        return FileCheck::Bad;
    }
    return FileCheck::Good;
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

bool VersionComboBoxManagement::newestAccepted(QDateTime *newest, QString *error) const
{
    QByteArray text;
    switch (safefile::readFile(store().pathOf(FirmwareStore::kPublicationMarkName), 64, &text, error)) {
    case safefile::Read::Ok:
        *newest = QDateTime::fromString(QString::fromLatin1(text.trimmed()), Qt::ISODate).toUTC();
        break;
    case safefile::Read::Missing:
        *newest = QDateTime();
        break;
    default:
        return false;
    }
    // A store from before the mark: the catalogue in use tells.
    const Installed installed = readInstalledCatalogue();
    const QDateTime inUse =
        installed.source == Source::BuiltIn ? QDateTime() : parseCatalogue(installed.bytes).published;
    if (inUse.isValid() && (!newest->isValid() || inUse > *newest))
        *newest = inUse;
    return true;
}

bool VersionComboBoxManagement::rememberPublication(const QDateTime &published, QString *error)
{
    if (!published.isValid())
        return true;
    QByteArray text;
    const safefile::Read read =
        safefile::readFile(store().pathOf(FirmwareStore::kPublicationMarkName), 64, &text, error);
    if (read == safefile::Read::Failed)
        return false;
    const QDateTime newest = QDateTime::fromString(QString::fromLatin1(text.trimmed()), Qt::ISODate);
    if (read == safefile::Read::Ok && newest.isValid() && newest >= published)
        return true;
    return store().write(FirmwareStore::kPublicationMarkName,
                         published.toUTC().toString(Qt::ISODate).toLatin1() + '\n', error);
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
    // before it was written) are accepted only while the store has accepted
    // none with one. What the store accepted is kept apart from the catalogue,
    // so that going back to a built-in copy forgets nothing.
    QDateTime newest;
    if (!newestAccepted(&newest, &reason)) {
        discardIncoming(QStringLiteral("the newest publication time accepted cannot be read (") + reason
                        + QLatin1Char(')'));
        return;
    }
    if (newest.isValid() && !document.published.isValid()) {
        discardIncoming(QStringLiteral("it has no publication time and the installed one has"));
        return;
    }
    if (newest.isValid() && document.published < newest) {
        discardIncoming(QStringLiteral("it is older than the installed one (published %1, installed %2)")
                            .arg(document.published.toString(Qt::ISODate), newest.toString(Qt::ISODate)));
        return;
    }
    reason = publishedAheadOfClock(document.published);
    if (reason.isEmpty() && installIncoming(bytes, signature, document.published, &reason))
        outcome = CatalogueOutcome::Installed;
    discardIncoming(reason);
}

bool VersionComboBoxManagement::installIncoming(const QByteArray &bytes, const QByteArray &signature,
                                                const QDateTime &published, QString *reason)
{
    const FirmwareStore files = store();
    const bool withSignature = !catalogueKey.isEmpty();
    if (readInstalledCatalogue().stored == Trouble::Unreadable) {
        *reason = QStringLiteral("the installed one cannot be read, and is left as it is");
        return false;
    }
    // The kept copy first: until both files are in place it is what a reader
    // falls back on. Then the publication time, so that nothing installed is
    // newer than what the store remembers.
    QString error;
    if (!files.write(FirmwareStore::kKeptCatalogueName, FirmwareStore::keptCatalogue(bytes, signature), &error)
        || (withSignature && !rememberPublication(published, &error))) {
        *reason = QStringLiteral("it could not be stored (") + error + QLatin1Char(')');
        return false;
    }
    if (files.install(FirmwareStore::kCatalogueName, &error)
        && (!withSignature || files.install(FirmwareStore::kSignatureName, &error)))
        return true;
    qWarning().noquote() << "Version file not fully installed: " + error;
    // Part of the pair may be in place, and a failed flush says nothing of
    // whether a rename happened. Put the pair in place once more, then go by
    // what a reader finds: the old pair, or the new one (in place or kept).
    QString again;
    if (files.write(FirmwareStore::kCatalogueName, bytes, &again) && withSignature)
        files.write(FirmwareStore::kSignatureName, signature, &again);
    if (readInstalledCatalogue().bytes == bytes)
        return true;
    *reason = QStringLiteral("it could not be stored (") + error + QLatin1Char(')');
    return false;
}

void VersionComboBoxManagement::discardIncoming(const QString &reason)
{
    if (!reason.isEmpty()) {
        outcome = CatalogueOutcome::Refused;
        problem = reason;
        qWarning().noquote() << "Remote version file discarded, " + reason
                                    + "; the local version file stays in use.";
    }
    const FirmwareStore files = store();
    files.discardStaged(FirmwareStore::kCatalogueName);
    files.discardStaged(FirmwareStore::kSignatureName);
    signedCheckRunning = false;
    processMetadataFile();
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
        // One that cannot be read is left as it is: it may be the only one that opens an instrument.
        QByteArray current;
        QString unread;
        if (good
            && safefile::readFile(files.pathOf(FirmwareStore::kPasswordName), kMaxPasswordBytes, &current, &unread)
                   == safefile::Read::Failed) {
            good = false;
            why = QStringLiteral("the local one cannot be read (") + unread + QLatin1Char(')');
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
    QString why;
    if (!safefile::readRegularFile(path, kMaxPasswordBytes, &bytes, &why)) {
        qWarning().noquote() << "processPasswordFile. Couldn't read local password file" + path;
        qDebug().noquote() << path + ": " + why;
        // The built-in copy is the backup of last resort, for a missing file only.
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
