#include "versioncomboboxmanagement.h"

#include "catalogueconfig.h"
#include "cataloguetrust.h"
#include "downloadmanager.h"
#include "firmwarecheck.h"
#include "versionmodel.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const QString kResourceDir = QStringLiteral(":/firmware");
const QString kCatalogueName = QStringLiteral("731Versions.json");
const QString kPasswordName = QStringLiteral("731-0-00-2019-01-01-1200.txt");
const QString kBuiltInImageName = QStringLiteral("731-001-010-2019-11-28-1324.txt");
const QString kSignatureSuffix = QStringLiteral(".sig");
const QString kIncomingFolder = QStringLiteral("incoming"); // signed catalogue before its check
constexpr int kPathCode = 6; // VersionModel::myData code of the local path

bool writeAtomically(const QString &path, const QByteArray &bytes)
{
    if (QFileInfo::exists(path))
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

QByteArray readAll(const QString &path, bool *ok = nullptr)
{
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly);
    if (ok)
        *ok = opened;
    return opened ? file.readAll() : QByteArray();
}

void removeFile(const QString &path)
{
    if (!QFileInfo::exists(path))
        return;
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QFile::remove(path);
}

// A catalogue name may only name a file directly inside the firmware directory.
bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

} // namespace

VersionComboBoxManagement::VersionComboBoxManagement(QObject *parent)
    : VersionComboBoxManagement(defaultServerBase(), parent)
{
}

VersionComboBoxManagement::VersionComboBoxManagement(const QUrl &serverBase, QObject *parent)
    : QObject(parent), serverBase(serverBase), catalogueKey(catalogue::builtInPublicKey())
{
}

// The download managers are children, released with this object.
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

QString VersionComboBoxManagement::incomingDirectory() const
{
    return storeDirectory() + QLatin1Char('/') + kIncomingFolder;
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

    const QUrl catalogueUrl(fileUrl(kCatalogueName));
    const QUrl passwordUrl(fileUrl(kPasswordName));
    const QString directory = storeDirectory();
    if (directory.isEmpty())
        qFatal("Cannot determine settings storage location");

    installBuiltInFile(kResourceDir, kCatalogueName, directory, kCatalogueName);
    installBuiltInFile(kResourceDir, kPasswordName, directory, kPasswordName);
    // Downloads need the folder even when no built-in file was copied there.
    QDir().mkpath(QDir(directory).absolutePath());

    if (catalogueKey.isEmpty()) {
        if (startDownload(catalogueUrl, &VersionComboBoxManagement::metadataDownloadFinished, directory))
            metadataDownloadIndex = downloads.size() - 1;
    } else if (signedCheckRunning) {
        qDebug().noquote() << "Signed version file still being fetched";
    } else {
        // The local catalogue is replaced only once the download's signature verified.
        QDir().mkpath(incomingDirectory());
        if (DownloadManager *download = startDownload(
                catalogueUrl, &VersionComboBoxManagement::signedMetadataDownloadFinished, incomingDirectory())) {
            metadataDownloadIndex = downloads.size() - 1;
            // A URL that never starts a transfer never reports back either.
            signedCheckRunning = download->isActive();
        }
    }
    if (startDownload(passwordUrl, &VersionComboBoxManagement::passwordDownloadFinished, directory))
        passwordDownloadIndex = downloads.size() - 1;

    // Whatever catalogue is here already fills the list while the new one loads.
    processMetadataFile(directory + QLatin1Char('/') + DownloadManager::fileNameOf(catalogueUrl));
}

void VersionComboBoxManagement::refreshLocalValues(VersionModel *model)
{
    this->model = model;
    const QString directory = storeDirectory();
    if (directory.isEmpty())
        qFatal("Cannot determine settings storage location");

    installBuiltInFile(kResourceDir, kCatalogueName, directory, kCatalogueName);
    installBuiltInFile(kResourceDir, kPasswordName, directory, kPasswordName);
    localOnly = true;
    processMetadataFile(directory + QLatin1Char('/') + kCatalogueName);
    localOnly = false;
}

bool VersionComboBoxManagement::transferRunningTo(const QString &fileName) const
{
    for (const DownloadManager *download : downloads) {
        if (download->isActive() && download->targetFileName() == fileName)
            return true;
    }
    return false;
}

DownloadManager *VersionComboBoxManagement::startDownload(const QUrl &url,
                                                          void (VersionComboBoxManagement::*slot)(int, QUrl),
                                                          const QString &directory)
{
    if (localOnly)
        return nullptr;
    const QString target = directory + QLatin1Char('/') + DownloadManager::fileNameOf(url);
    if (transferRunningTo(target)) {
        // Two transfers must never write the same file; the running one ends
        // with the version listed if it succeeds.
        qDebug().noquote() << "Download already running for" << target;
        return nullptr;
    }
    auto *download = new DownloadManager(this);
    downloads.append(download);
    connect(download, &DownloadManager::finished, this, slot);
    download->setDownloadPath(directory);
    download->setUrl(url);
    download->downloadFile();
    return download;
}

void VersionComboBoxManagement::installBuiltInFile(const QString &resourceDir, const QString &resourceName,
                                                   const QString &targetDir, const QString &targetName)
{
    if (QFileInfo::exists(targetDir + QLatin1Char('/') + targetName))
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
    const QString copy = targetDir + QLatin1Char('/') + resourceName;
    QFile::copy(resource, copy);
    // Resource copies are read-only; later downloads must be able to replace them.
    QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

bool VersionComboBoxManagement::processMetadataFile(const QString &path)
{
    QFile catalogue(path);
    if (!catalogue.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << "processMetadataFile. Couldn't read local version file" + path;
        return false;
    }
    const QByteArray bytes = catalogue.readAll();
    catalogue.close();

    const QString directory = storeDirectory();
    installBuiltInFile(kResourceDir, kBuiltInImageName, directory, kBuiltInImageName);

    const bool keyed = !catalogueKey.isEmpty();
    QString distrust;
    if (keyed && !localCatalogueTrusted(path, bytes, &distrust)) {
        qWarning().noquote() << "processMetadataFile. Local version file not trusted, " + distrust + ": " + path;
        return false;
    }

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (document.isNull() || error.error != QJsonParseError::NoError) {
        qWarning() << "Couldn't parse local metadata file.";
        return false;
    }

    const QJsonArray versions = document.object().value(QStringLiteral("versions")).toArray();
    for (const QJsonValue &value : versions) {
        const QJsonObject object = value.toObject();
        VersionEntry entry;
        entry.filename = object.value(QStringLiteral("filename")).toString();
        entry.number = object.value(QStringLiteral("number")).toString();
        entry.date = object.value(QStringLiteral("date")).toString();
        entry.description = object.value(QStringLiteral("description")).toString();
        entry.url = object.value(QStringLiteral("url")).toString();
        const QJsonValue digest = object.value(QStringLiteral("sha256"));
        const QString sha256 = digest.toString().toLower();

        // Nothing is read, listed or written outside the firmware directory.
        const QString urlName = DownloadManager::fileNameOf(QUrl(entry.url));
        if (!isPlainFileName(entry.filename) || !isPlainFileName(urlName)) {
            qWarning().noquote() << "processMetadataFile. Skipping version" << entry.number
                                 << "with unusable file name" << entry.filename << "url" << entry.url;
            continue;
        }
        if (!digest.isUndefined() && !catalogue::isSha256Text(sha256)) {
            qWarning().noquote() << "processMetadataFile. Skipping version" << entry.number
                                 << "with unusable sha256" << digest.toVariant().toString();
            continue;
        }
        entry.path = directory + QLatin1Char('/') + entry.filename;

        if (QFileInfo::exists(entry.path) && acceptFirmwareFile(sha256, entry.path)) {
            if (model)
                model->addVersion(entry);
        } else if (localOnly || QFileInfo::exists(entry.path)) {
            continue;
        } else if (keyed && sha256.isEmpty()) {
            // A signed catalogue vouches for a file only through its digest.
            // Debug level: the built-in catalogue has no digests at all.
            qDebug().noquote() << "processMetadataFile. Not downloading version" << entry.number
                               << "without sha256";
        } else {
            startDownload(QUrl(entry.url), &VersionComboBoxManagement::firmwareDownloadFinished, directory);
            pendingVersions.append(entry);
            pendingDigests.append(sha256);
        }
    }
    return true;
}

QString VersionComboBoxManagement::finishedFilePath(const QUrl &url) const
{
    // After a redirect url names the redirect target, but the bytes were
    // stored under the name the transfer started with.
    if (const auto *download = qobject_cast<const DownloadManager *>(sender())) {
        if (!download->targetFileName().isEmpty())
            return download->targetFileName();
    }
    return storeDirectory() + QLatin1Char('/') + DownloadManager::fileNameOf(url);
}

void VersionComboBoxManagement::metadataDownloadFinished(int status, QUrl url)
{
    const QString path = finishedFilePath(url);
    if (status != 0)
        qWarning() << "Couldn't copy remote version file.";
    if (!processMetadataFile(path)) {
        if (metadataDownloadIndex >= 0 && metadataDownloadIndex < downloads.size())
            downloads.at(metadataDownloadIndex)->rollback();
        processMetadataFile(path);
    }
}

void VersionComboBoxManagement::firmwareDownloadFinished(int status, QUrl url)
{
    const QString text = url.toString();
    const QString file = finishedFilePath(url);
    if (status == 0) {
        // The latest catalogue pass holds the digest that counts.
        int i = pendingVersions.size() - 1;
        while (i >= 0 && pendingVersions.at(i).url != text)
            --i;
        if (i < 0)
            return; // redirected: listed once a later refresh finds the file
        if (acceptFirmwareFile(pendingDigests.at(i), file)) {
            if (model)
                model->addVersion(pendingVersions.at(i));
            return;
        }
    }
    fetchFromAnotherAddress(file, text);
}

void VersionComboBoxManagement::fetchFromAnotherAddress(const QString &file, const QString &failedUrl)
{
    // A request skipped while this transfer ran (two catalogues naming one
    // file at different addresses) gets its turn now, newest entry first.
    failedFirmwareUrls.insert(failedUrl);
    const QString directory = storeDirectory();
    for (int i = pendingVersions.size() - 1; i >= 0; --i) {
        const QString url = pendingVersions.at(i).url;
        if (failedFirmwareUrls.contains(url))
            continue;
        if (directory + QLatin1Char('/') + DownloadManager::fileNameOf(QUrl(url)) != file)
            continue;
        startDownload(QUrl(url), &VersionComboBoxManagement::firmwareDownloadFinished, directory);
        return;
    }
}

bool VersionComboBoxManagement::acceptFirmwareFile(const QString &sha256, const QString &file)
{
    if (!sha256.isEmpty()) {
        const QString actual = catalogue::fileSha256Hex(file);
        if (actual != sha256) {
            qWarning().noquote() << "Firmware file deleted, its sha256 differs from the catalogue:" << file
                                 << "has" << actual << "catalogue" << sha256;
            discardFirmwareFile(file);
            return false;
        }
    }
    // A truncated transfer or an error page must never reach the instrument.
    const bsl::FirmwareCheck check = bsl::checkFirmwareFile(file);
    if (!check.ok) {
        qWarning().noquote() << "Firmware file deleted, it failed the firmware check:" << file << "-" << check.reason;
        discardFirmwareFile(file);
        return false;
    }
    return true;
}

void VersionComboBoxManagement::discardFirmwareFile(const QString &file)
{
    removeFile(file);
    // Another entry may have listed the same file already; a row must never
    // offer a version whose file is gone.
    if (!model)
        return;
    for (int row = model->rowCount() - 1; row >= 0; --row) {
        if (model->myData(row, kPathCode).toString() == file)
            model->removeVersion(row);
    }
}

bool VersionComboBoxManagement::localCatalogueTrusted(const QString &path, const QByteArray &bytes,
                                                      QString *reason) const
{
    // The built-in catalogue is part of the program.
    bool builtIn = false;
    const QByteArray resource = readAll(kResourceDir + QLatin1Char('/') + kCatalogueName, &builtIn);
    if (builtIn && resource == bytes)
        return true;
    bool present = false;
    const QByteArray signature = readAll(path + kSignatureSuffix, &present);
    if (!present) {
        *reason = QStringLiteral("no signature");
        return false;
    }
    return catalogue::verifyCatalogueSignature(bytes, signature, catalogueKey, reason);
}

void VersionComboBoxManagement::signedMetadataDownloadFinished(int status, QUrl url)
{
    Q_UNUSED(url)
    if (status != 0) {
        qWarning() << "Couldn't copy remote version file.";
        discardIncoming(QString());
        return;
    }
    const QUrl signatureUrl(fileUrl(kCatalogueName + kSignatureSuffix));
    if (!startDownload(signatureUrl, &VersionComboBoxManagement::signatureDownloadFinished, incomingDirectory()))
        discardIncoming(QStringLiteral("its signature is already being fetched"));
}

void VersionComboBoxManagement::signatureDownloadFinished(int status, QUrl url)
{
    Q_UNUSED(url)
    if (status != 0) {
        discardIncoming(QStringLiteral("signature could not be downloaded"));
        return;
    }
    const QString staged = incomingDirectory() + QLatin1Char('/') + kCatalogueName;
    const QByteArray bytes = readAll(staged);
    QString reason;
    if (!catalogue::verifyCatalogueSignature(bytes, readAll(staged + kSignatureSuffix), catalogueKey, &reason)) {
        discardIncoming(reason);
        return;
    }
    QJsonParseError error{};
    if (!QJsonDocument::fromJson(bytes, &error).isObject()) {
        discardIncoming(QStringLiteral("signed, but not a catalogue"));
        return;
    }
    if (!installIncoming()) {
        discardIncoming(QStringLiteral("it could not be stored"));
        return;
    }
    discardIncoming(QString());
}

bool VersionComboBoxManagement::installIncoming()
{
    const QString staged = incomingDirectory() + QLatin1Char('/') + kCatalogueName;
    const QString local = storeDirectory() + QLatin1Char('/') + kCatalogueName;
    // Catalogue first: should the signature not follow, the pair fails its
    // check on the next read instead of vouching for the old catalogue.
    return writeAtomically(local, readAll(staged))
           && writeAtomically(local + kSignatureSuffix, readAll(staged + kSignatureSuffix));
}

void VersionComboBoxManagement::discardIncoming(const QString &reason)
{
    if (!reason.isEmpty()) {
        qWarning().noquote() << "Remote version file discarded, " + reason
                                    + "; the local version file stays in use.";
    }
    const QString staged = incomingDirectory() + QLatin1Char('/') + kCatalogueName;
    for (const QString &name : {staged, staged + QStringLiteral(".old"), staged + kSignatureSuffix,
                                staged + kSignatureSuffix + QStringLiteral(".old")})
        removeFile(name);
    signedCheckRunning = false;
    processMetadataFile(storeDirectory() + QLatin1Char('/') + kCatalogueName);
}

void VersionComboBoxManagement::passwordDownloadFinished(int status, QUrl url)
{
    const QString path = finishedFilePath(url);
    if (status != 0)
        qWarning() << "Couldn't copy remote password file.";
    processPasswordFile(path);
}

void VersionComboBoxManagement::processPasswordFile(const QString &path)
{
    QFile password(path);
    if (!password.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << "processPasswordFile. Couldn't read local password file" + path;
        if (passwordDownloadIndex >= 0 && passwordDownloadIndex < downloads.size())
            downloads.at(passwordDownloadIndex)->rollback();
        return;
    }
    password.close();
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
