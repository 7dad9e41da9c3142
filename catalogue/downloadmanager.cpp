#include "downloadmanager.h"

#include <QAuthenticator>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

constexpr int kStatusDone = 0;       // transfer completed, final file replaced
constexpr int kStatusCancelled = -1; // cancelDownload
constexpr int kStatusFailed = -2;    // network, HTTP, TLS or storage failure
constexpr int kMaxRedirects = 20;    // per transfer; a redirect loop must end somewhere

const QString kTemporarySuffix = QStringLiteral(".new");
const QString kBackupSuffix = QStringLiteral(".old");

// Clears a read-only attribute (files copied from the resources are read-only)
// so that the file can be deleted or overwritten.
void makeOwnerWritable(const QString &name)
{
    if (QFileInfo::exists(name))
        QFile::setPermissions(name, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

bool removeWritable(const QString &name)
{
    if (!QFileInfo::exists(name))
        return true;
    makeOwnerWritable(name);
    return QFile::remove(name);
}

} // namespace

DownloadManager::DownloadManager(QObject *parent) : QObject(parent)
{
    connect(&networkManager, &QNetworkAccessManager::authenticationRequired, this,
            &DownloadManager::slotAuthenticationRequired);
    connect(&networkManager, &QNetworkAccessManager::sslErrors, this, &DownloadManager::sslErrors);
}

DownloadManager::~DownloadManager()
{
    // The reply dies with networkManager after this body has run; it must not
    // call back into a half-destroyed object.
    if (reply) {
        reply->disconnect(this);
        reply->abort();
    }
    delete file;
}

QString DownloadManager::fileNameOf(const QUrl &url)
{
    return url.fileName(QUrl::FullyDecoded);
}

void DownloadManager::setUrl(QUrl newUrl)
{
    url = newUrl;
}

void DownloadManager::setDownloadPath(QString path)
{
    downloadPath = path;
}

void DownloadManager::downloadFile()
{
    const QString text = url.toString();
    if (text.isEmpty())
        return;
    const QUrl parsed = QUrl::fromUserInput(text);
    if (!parsed.isValid())
        return;

    const QString name = fileNameOf(url);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))) {
        // Nothing to store the bytes under inside the download path.
        qDebug().noquote() << "No file name to download to in" << text;
        QMetaObject::invokeMethod(
            this, [this] { emit finished(kStatusFailed, url); }, Qt::QueuedConnection);
        return;
    }

    targetName = downloadPath + QLatin1Char('/') + name;
    temporaryName = targetName + kTemporarySuffix;
    backupName = targetName + kBackupSuffix;

    // A temporary file left by a transfer that never ended is kept as the backup.
    if (QFileInfo::exists(temporaryName)) {
        removeWritable(backupName);
        QFile::copy(temporaryName, backupName);
    }

    delete file;
    file = new QFile(temporaryName);
    if (file->exists()) {
        makeOwnerWritable(temporaryName);
        if (!file->remove())
            qDebug().noquote() << "Could not delete existing download. " + file->errorString();
    }
    openTemporaryFile();
    active = true;
    redirects = 0;
    startRequest(parsed);
}

void DownloadManager::openTemporaryFile()
{
    storageFailed = false;
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qDebug().noquote() << "Could not open file for write " + file->fileName();
        storageFailed = true;
        return;
    }
    file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void DownloadManager::cancelDownload()
{
    aborted = true;
    if (reply)
        reply->abort();
}

void DownloadManager::rollback()
{
    if (active) {
        qDebug().noquote() << "Rollback skipped while downloading" << targetName;
        return;
    }
    if (backupName.isEmpty() || !QFileInfo::exists(backupName))
        return;
    if (file)
        file->close();
    removeWritable(temporaryName);
    // The callers read the final file again right after a rollback.
    if (!removeWritable(targetName) || !QFile::copy(backupName, targetName)) {
        qDebug().noquote() << "Rollback could not restore" << targetName;
        return;
    }
    makeOwnerWritable(targetName);
}

void DownloadManager::startRequest(QUrl requestedUrl)
{
    url = requestedUrl;
    aborted = false;
    reply = networkManager.get(QNetworkRequest(url));
    connect(reply, &QNetworkReply::finished, this, &DownloadManager::httpFinished);
    connect(reply, &QIODevice::readyRead, this, &DownloadManager::httpReadyRead);
}

void DownloadManager::httpReadyRead()
{
    if (!file || !reply)
        return;
    const QByteArray data = reply->readAll();
    if (file->isOpen() && file->write(data) != data.size())
        storageFailed = true;
}

void DownloadManager::httpFinished()
{
    if (!reply)
        return;
    const QString name = file ? file->fileName() : temporaryName;
    if (file && file->isOpen()) {
        file->close();
        if (file->error() != QFileDevice::NoError)
            storageFailed = true;
    }

    if (aborted) {
        removeWritable(name);
        reply->deleteLater();
        reply = nullptr;
        endTransfer(kStatusCancelled);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        removeWritable(name);
        reply->deleteLater();
        reply = nullptr;
        endTransfer(kStatusFailed);
        return;
    }

    const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    reply->deleteLater();
    reply = nullptr;

    if (!target.isEmpty()) {
        removeWritable(name);
        if (++redirects > kMaxRedirects) {
            qDebug().noquote() << "Too many redirects for" << url.toString();
            endTransfer(kStatusFailed);
            return;
        }
        delete file;
        file = new QFile(name);
        openTemporaryFile();
        startRequest(url.resolved(target));
        return;
    }

    if (storageFailed) {
        // The bytes never reached the disk: keep the copy the caller has.
        qDebug().noquote() << "Could not store download " + name;
        removeWritable(name);
        endTransfer(kStatusFailed);
        return;
    }

    // Only the trailing ".new" goes; the directory may contain ".new" as well.
    const QString finalName = name.left(name.size() - kTemporarySuffix.size());
    if (QFileInfo::exists(finalName)) {
        // Keep the copy being replaced, so rollback can undo a bad download.
        removeWritable(backupName);
        QFile::copy(finalName, backupName);
    }
    if (!removeWritable(finalName) || !QFile::copy(name, finalName)) {
        qDebug().noquote() << "Could not replace " + finalName;
        removeWritable(name);
        endTransfer(kStatusFailed);
        return;
    }
    makeOwnerWritable(finalName);
    removeWritable(name);
    endTransfer(kStatusDone);
}

void DownloadManager::endTransfer(int status)
{
    active = false;
    emit finished(status, url);
}

void DownloadManager::slotAuthenticationRequired(QNetworkReply *, QAuthenticator *authenticator)
{
    authenticator->setUser(QString());
    authenticator->setPassword(QString());
}

void DownloadManager::sslErrors(QNetworkReply *, const QList<QSslError> &errors)
{
    // Gathered for a debugger's eyes only; the errors are not ignored, so the
    // reply ends with an error and the transfer reports a failure.
    QString errorString;
    for (const QSslError &error : errors) {
        if (!errorString.isEmpty())
            errorString += QLatin1Char('\n');
        errorString += error.errorString();
    }
    Q_UNUSED(errorString)
}
