#include "transferpool.h"

#include "cataloguedocument.h"
#include "downloadmanager.h"

#include <QDebug>

namespace {

qint64 maxBytesOf(FirmwareStore::Kind kind)
{
    switch (kind) {
    case FirmwareStore::Kind::Catalogue:
        return FirmwareStore::kMaxCatalogueBytes;
    case FirmwareStore::Kind::CatalogueSignature:
        return FirmwareStore::kMaxSignatureBytes;
    case FirmwareStore::Kind::PasswordFile:
        return FirmwareStore::kMaxPasswordBytes;
    default:
        return FirmwareStore::kMaxFirmwareBytes;
    }
}

} // namespace

TransferPool::TransferPool(Wiring connectEnd, QObject *parent) : QObject(parent), connectEnd(std::move(connectEnd)) {}

TransferPool::~TransferPool()
{
    // Running transfers use `network`, a member that is gone before QObject
    // would delete them as children.
    qDeleteAll(running);
}

void TransferPool::setStallTimeout(int ms)
{
    stallTimeoutMs = ms;
}

bool TransferPool::runs(const QString &fileName) const
{
    for (auto it = transfers.cbegin(); it != transfers.cend(); ++it) {
        if (it.value().fileName == fileName && it.key()->isActive())
            return true;
    }
    return false;
}

TransferPool::Transfer TransferPool::transferOf(QObject *download) const
{
    return transfers.value(qobject_cast<DownloadManager *>(download));
}

DownloadManager *TransferPool::start(const QUrl &url, const QString &fileName, const QString &stagingDirectory)
{
    if (runs(fileName)) {
        // Two transfers must never write the same file; the running one ends
        // with the version listed if it succeeds.
        qDebug().noquote() << "Download already running for" << fileName;
        return nullptr;
    }
    const FirmwareStore::Kind kind = FirmwareStore::classify(fileName);
    auto *download = new DownloadManager(this);
    download->setNetworkAccessManager(&network);
    download->setMaxBytes(maxBytesOf(kind));
    connectEnd(download, kind);
    // After the handler: the transfer object goes once its end is handled.
    connect(download, &DownloadManager::finished, this, [this, download] { release(download); });
    if (stallTimeoutMs > 0)
        download->setStallTimeout(stallTimeoutMs);
    download->setDownloadPath(stagingDirectory);
    download->setFileName(fileName);
    download->setUrl(url);
    running.append(download);
    transfers.insert(download, Transfer{kind, fileName, catalogue::normalisedUrl(url)});
    download->downloadFile();
    if (!download->isActive()) {
        // An empty or invalid address never starts, so it never ends either.
        release(download);
        return nullptr;
    }
    return download;
}

void TransferPool::release(DownloadManager *download)
{
    transfers.remove(download);
    running.removeAll(download);
    download->deleteLater();
    emit released();
}
