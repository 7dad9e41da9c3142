#pragma once

#include "firmwarestore.h"

#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class DownloadManager;

// The transfers of one catalogue: one network access object for all, at most
// one running transfer per file name (two must never write the same file),
// each into the store's staging folder under the name the store keeps it by,
// capped at its kind's size, and deleted once its end has been handled.
class TransferPool : public QObject
{
    Q_OBJECT

public:
    struct Transfer
    {
        FirmwareStore::Kind kind = FirmwareStore::Kind::Foreign;
        QString fileName;      // under which the store keeps it
        QString normalisedUrl; // the address asked for, in normal form
    };
    // Connects a new transfer's finished signal to what handles files of its kind.
    using Wiring = std::function<void(DownloadManager *, FirmwareStore::Kind)>;

    explicit TransferPool(Wiring connectEnd, QObject *parent = nullptr);
    ~TransferPool() override;

    // A transfer that receives no byte for this long fails; 30 s unless set.
    void setStallTimeout(int ms);

    // Starts fetching url into stagingDirectory, stored under fileName; null
    // when a transfer to fileName still runs or the address never starts.
    DownloadManager *start(const QUrl &url, const QString &fileName, const QString &stagingDirectory);
    bool runs(const QString &fileName) const;
    // The transfer download is; empty (no file name) for anything else.
    Transfer transferOf(QObject *download) const;
    bool isIdle() const { return running.isEmpty(); }

signals:
    // A transfer has ended and its end has been handled.
    void released();

private:
    void release(DownloadManager *download);

    Wiring connectEnd;
    QNetworkAccessManager network;
    QList<DownloadManager *> running; // released when they end
    QHash<DownloadManager *, Transfer> transfers;
    int stallTimeoutMs = 0; // 0: the download's own default
};
