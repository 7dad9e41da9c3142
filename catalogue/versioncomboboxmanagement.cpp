#include "versioncomboboxmanagement.h"

#include "catalogueconfig.h"
#include "downloadmanager.h"
#include "versionmodel.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace {

const QString kResourceDir = QStringLiteral(":/firmware");
const QString kCatalogueName = QStringLiteral("731Versions.json");
const QString kPasswordName = QStringLiteral("731-0-00-2019-01-01-1200.txt");
const QString kBuiltInImageName = QStringLiteral("731-001-010-2019-11-28-1324.txt");

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
    : QObject(parent), serverBase(serverBase)
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

    const QUrl catalogueUrl(fileUrl(kCatalogueName));
    const QUrl passwordUrl(fileUrl(kPasswordName));
    const QString directory = firmwareDirectory();
    if (directory.isEmpty())
        qFatal("Cannot determine settings storage location");

    installBuiltInFile(kResourceDir, kCatalogueName, directory, kCatalogueName);
    installBuiltInFile(kResourceDir, kPasswordName, directory, kPasswordName);
    // Downloads need the folder even when no built-in file was copied there.
    QDir().mkpath(QDir(directory).absolutePath());

    if (startDownload(catalogueUrl, &VersionComboBoxManagement::metadataDownloadFinished))
        metadataDownloadIndex = downloads.size() - 1;
    if (startDownload(passwordUrl, &VersionComboBoxManagement::passwordDownloadFinished))
        passwordDownloadIndex = downloads.size() - 1;

    // Whatever catalogue is here already fills the list while the new one loads.
    processMetadataFile(directory + QLatin1Char('/') + DownloadManager::fileNameOf(catalogueUrl));
}

void VersionComboBoxManagement::refreshLocalValues(VersionModel *model)
{
    this->model = model;
    const QString directory = firmwareDirectory();
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
                                                          void (VersionComboBoxManagement::*slot)(int, QUrl))
{
    if (localOnly)
        return nullptr;
    const QString directory = firmwareDirectory();
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

    const QString directory = firmwareDirectory();
    installBuiltInFile(kResourceDir, kBuiltInImageName, directory, kBuiltInImageName);

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

        // Nothing is read, listed or written outside the firmware directory.
        const QString urlName = DownloadManager::fileNameOf(QUrl(entry.url));
        if (!isPlainFileName(entry.filename) || !isPlainFileName(urlName)) {
            qWarning().noquote() << "processMetadataFile. Skipping version" << entry.number
                                 << "with unusable file name" << entry.filename << "url" << entry.url;
            continue;
        }
        entry.path = directory + QLatin1Char('/') + entry.filename;

        if (QFileInfo::exists(entry.path)) {
            if (model)
                model->addVersion(entry);
        } else {
            if (localOnly)
                continue;
            startDownload(QUrl(entry.url), &VersionComboBoxManagement::firmwareDownloadFinished);
            pendingVersions.append(entry);
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
    return firmwareDirectory() + QLatin1Char('/') + DownloadManager::fileNameOf(url);
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
    if (status != 0)
        return;
    const QString text = url.toString();
    for (const VersionEntry &entry : qAsConst(pendingVersions)) {
        if (entry.url == text) {
            if (model)
                model->addVersion(entry);
            return;
        }
    }
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
