#include "downloadmanager.h"

#include "cataloguedocument.h"
#include "safefile.h"

#include <QAuthenticator>
#include <QDebug>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

constexpr int kStatusDone = 0;       // transfer completed, final file replaced
constexpr int kStatusCancelled = -1; // cancelDownload
constexpr int kStatusFailed = -2;    // network, HTTP, TLS, limit or storage failure
constexpr int kMaxRedirects = 10;    // per transfer; a redirect loop must end somewhere
constexpr qint64 kReadBufferBytes = 64 * 1024; // what the network layer holds before we read it

const QString kTemporarySuffix = QStringLiteral(".new");
const QString kBackupSuffix = QStringLiteral(".old");

bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

// Copies a regular file durably; a link at either name is never followed.
bool copyRegular(const QString &from, const QString &to, qint64 maxBytes)
{
    QByteArray bytes;
    return safefile::readRegularFile(from, maxBytes, &bytes) && safefile::writeFile(to, bytes);
}

} // namespace

DownloadManager::DownloadManager(QObject *parent) : QObject(parent)
{
    stallTimer.setSingleShot(true);
    stallTimer.setInterval(kDefaultStallMs);
    deadlineTimer.setSingleShot(true);
    deadlineTimer.setInterval(kDefaultDeadlineMs);
    connect(&stallTimer, &QTimer::timeout, this, [this] { stopTransfer(Stop::Stalled); });
    connect(&deadlineTimer, &QTimer::timeout, this, [this] { stopTransfer(Stop::Deadline); });
}

DownloadManager::~DownloadManager()
{
    // The reply must not call back into a half-destroyed object; with a
    // shared network access object it also outlives this one unless released.
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    delete file;
}

QString DownloadManager::fileNameOf(const QUrl &url)
{
    return url.fileName(QUrl::FullyDecoded);
}

void DownloadManager::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    if (networkManager)
        disconnect(networkManager, nullptr, this, nullptr);
    networkManager = manager;
    if (!manager)
        return;
    connect(manager, &QNetworkAccessManager::authenticationRequired, this,
            &DownloadManager::slotAuthenticationRequired);
    connect(manager, &QNetworkAccessManager::sslErrors, this, &DownloadManager::sslErrors);
}

QNetworkAccessManager *DownloadManager::network()
{
    if (!networkManager) {
        ownNetwork = std::make_unique<QNetworkAccessManager>();
        setNetworkAccessManager(ownNetwork.get());
    }
    return networkManager;
}

void DownloadManager::setFileName(const QString &name)
{
    fileName = name;
}

void DownloadManager::setMaxBytes(qint64 bytes)
{
    maxBytes = bytes;
}

void DownloadManager::setStallTimeout(int ms)
{
    stallTimer.setInterval(ms);
}

void DownloadManager::setDeadline(int ms)
{
    deadlineTimer.setInterval(ms);
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
    if (active) {
        qDebug().noquote() << "Download already running for" << targetName;
        return;
    }
    active = true;
    redirects = 0;
    stop = Stop::None;

    if (!catalogue::isFetchableUrl(parsed)) {
        // file:, data:, qrc: and the like would read this machine, not the server.
        failLater(QStringLiteral("Refusing to fetch ") + text + QStringLiteral(": only http and https"));
        return;
    }
    const QString name = fileName.isEmpty() ? fileNameOf(url) : fileName;
    if (!isPlainFileName(name)) {
        // Nothing to store the bytes under inside the download path.
        failLater(QStringLiteral("No file name to download to in ") + text);
        return;
    }

    targetName = downloadPath + QLatin1Char('/') + name;
    temporaryName = targetName + kTemporarySuffix;
    backupName = targetName + kBackupSuffix;

    // A temporary file left by a transfer that never ended is kept as the backup.
    if (safefile::isRegularFile(temporaryName))
        copyRegular(temporaryName, backupName, maxBytes);
    if (safefile::exists(temporaryName) && !safefile::remove(temporaryName))
        qDebug().noquote() << "Could not delete existing download. " + temporaryName;
    openTemporaryFile();
    deadlineTimer.start();
    startRequest(parsed);
}

bool DownloadManager::openTemporaryFile()
{
    storageFailed = false;
    delete file;
    file = new QFile(temporaryName);
    safefile::remove(temporaryName);
    // Created here and now: nothing planted under the name (a link) is followed.
    if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qDebug().noquote() << "Could not open file for write " + temporaryName;
        storageFailed = true;
        return false;
    }
    file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

void DownloadManager::failLater(const QString &reason)
{
    qDebug().noquote() << reason;
    QMetaObject::invokeMethod(
        this, [this] { endTransfer(kStatusFailed); }, Qt::QueuedConnection);
}

void DownloadManager::cancelDownload()
{
    aborted = true;
    stopTransfer(Stop::Cancelled);
}

void DownloadManager::stopTransfer(Stop why)
{
    if (stop == Stop::None)
        stop = why;
    // The reply's finished signal then ends the transfer.
    if (reply)
        reply->abort();
}

void DownloadManager::rollback()
{
    if (active) {
        qDebug().noquote() << "Rollback skipped while downloading" << targetName;
        return;
    }
    if (backupName.isEmpty() || !safefile::isRegularFile(backupName))
        return;
    if (file)
        file->close();
    safefile::remove(temporaryName);
    // The callers read the final file again right after a rollback.
    if (!copyRegular(backupName, targetName, maxBytes))
        qDebug().noquote() << "Rollback could not restore" << targetName;
}

void DownloadManager::startRequest(QUrl requestedUrl)
{
    url = requestedUrl;
    aborted = false;
    received = 0;
    QNetworkRequest request(url);
    // Every redirect comes back here, where its scheme is checked.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    reply = network()->get(request);
    reply->setReadBufferSize(kReadBufferBytes);
    connect(reply, &QNetworkReply::finished, this, &DownloadManager::httpFinished);
    connect(reply, &QIODevice::readyRead, this, &DownloadManager::httpReadyRead);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        const QVariant length = reply ? reply->header(QNetworkRequest::ContentLengthHeader) : QVariant();
        if (length.isValid() && length.toLongLong() > maxBytes)
            stopTransfer(Stop::TooLarge);
    });
    stallTimer.start();
}

void DownloadManager::httpReadyRead()
{
    if (!reply)
        return;
    const QByteArray data = reply->readAll();
    if (data.isEmpty())
        return;
    stallTimer.start();
    received += data.size();
    if (received > maxBytes) {
        stopTransfer(Stop::TooLarge);
        return;
    }
    if (file && file->isOpen() && file->write(data) != data.size())
        storageFailed = true;
}

void DownloadManager::httpFinished()
{
    QNetworkReply *done = reply;
    if (!done || sender() != done)
        return;
    stallTimer.stop();
    reply = nullptr;
    done->deleteLater();
    const QString name = temporaryName;
    if (file && file->isOpen()) {
        if (!safefile::sync(*file))
            storageFailed = true;
        file->close();
        if (file->error() != QFileDevice::NoError)
            storageFailed = true;
    }

    if (aborted) {
        safefile::remove(name);
        endTransfer(kStatusCancelled);
        return;
    }
    if (stop != Stop::None) {
        const QString why = stop == Stop::TooLarge
                                ? QStringLiteral("larger than %1 bytes").arg(maxBytes)
                                : stop == Stop::Stalled
                                      ? QStringLiteral("no data for %1 ms").arg(stallTimer.interval())
                                      : QStringLiteral("not done within %1 ms").arg(deadlineTimer.interval());
        qWarning().noquote() << "Download stopped, " + why + ": " + url.toString();
        safefile::remove(name);
        endTransfer(kStatusFailed);
        return;
    }
    if (done->error() != QNetworkReply::NoError) {
        safefile::remove(name);
        endTransfer(kStatusFailed);
        return;
    }

    const QUrl target = done->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (!target.isEmpty()) {
        safefile::remove(name);
        const QUrl next = url.resolved(target);
        if (!catalogue::isFetchableUrl(next)) {
            qWarning().noquote() << "Redirect refused, only http and https: " + next.toString();
            endTransfer(kStatusFailed);
            return;
        }
        if (++redirects > kMaxRedirects) {
            qDebug().noquote() << "Too many redirects for" << url.toString();
            endTransfer(kStatusFailed);
            return;
        }
        openTemporaryFile();
        startRequest(next);
        return;
    }

    if (storageFailed) {
        // The bytes never reached the disk: keep the copy the caller has.
        qDebug().noquote() << "Could not store download " + name;
        safefile::remove(name);
        endTransfer(kStatusFailed);
        return;
    }

    // Only the trailing ".new" goes; the directory may contain ".new" as well.
    const QString finalName = name.left(name.size() - kTemporarySuffix.size());
    // Keep the copy being replaced, so rollback can undo a bad download.
    if (safefile::isRegularFile(finalName))
        copyRegular(finalName, backupName, maxBytes);
    QString error;
    if (!safefile::replaceWith(name, finalName, &error)) {
        qDebug().noquote() << "Download not stored: " + error;
        safefile::remove(name);
        endTransfer(kStatusFailed);
        return;
    }
    endTransfer(kStatusDone);
}

void DownloadManager::endTransfer(int status)
{
    stallTimer.stop();
    deadlineTimer.stop();
    active = false;
    emit finished(status, url);
}

void DownloadManager::slotAuthenticationRequired(QNetworkReply *asking, QAuthenticator *authenticator)
{
    if (asking != reply)
        return; // another transfer's challenge on the shared network access object
    authenticator->setUser(QString());
    authenticator->setPassword(QString());
}

void DownloadManager::sslErrors(QNetworkReply *failing, const QList<QSslError> &errors)
{
    if (failing != reply)
        return;
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
