#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QTimer>
#include <QUrl>

#include <memory>

class QAuthenticator;
class QFile;
class QNetworkAccessManager;
class QNetworkReply;

// Fetches one HTTP resource into a directory: the bytes go to "<name>.new"
// and replace "<name>" only when the transfer succeeds, so a failed or
// cancelled transfer never touches the copy the caller already has.
//
// Whatever the server sends, a transfer ends: only http and https are
// fetched (redirects included), a body larger than the size limit, a body
// that stalls (no byte for the stall time-out) and a transfer that outlasts
// its deadline all end it as failed. No file operation follows a symbolic link.
class DownloadManager : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 kDefaultMaxBytes = 4 * 1024 * 1024; // bytes of one body
    static constexpr int kDefaultStallMs = 30000;               // without a byte
    static constexpr int kDefaultDeadlineMs = 10 * 60000;       // one transfer, redirects included

    explicit DownloadManager(QObject *parent = nullptr);
    ~DownloadManager() override;

    // True from downloadFile until finished is emitted.
    bool isActive() const { return active; }
    // The final file name of the current or latest transfer; empty before the first.
    QString targetFileName() const { return targetName; }

    // The transfers of one program share one network access object; without
    // one set, the download makes its own on first use.
    void setNetworkAccessManager(QNetworkAccessManager *manager);
    // The name to store the file under; empty (the default) takes the URL's
    // last segment.
    void setFileName(const QString &name);
    void setMaxBytes(qint64 bytes);
    void setStallTimeout(int ms);
    void setDeadline(int ms);

    // The file name part of a URL as the final file is named: fully decoded.
    static QString fileNameOf(const QUrl &url);

signals:
    void finished(int status, QUrl url);

public slots:
    void setUrl(QUrl newUrl);
    void setDownloadPath(QString path);
    void downloadFile();
    void cancelDownload();
    void rollback();

private slots:
    void startRequest(QUrl requestedUrl);
    void httpFinished();
    void httpReadyRead();
    void slotAuthenticationRequired(QNetworkReply *, QAuthenticator *authenticator);
    void sslErrors(QNetworkReply *, const QList<QSslError> &errors);

private:
    enum class Stop { None, Cancelled, TooLarge, Stalled, Deadline };

    QNetworkAccessManager *network();
    bool openTemporaryFile();
    void stopTransfer(Stop why);
    void failLater(const QString &reason);
    void endTransfer(int status);

    QUrl url;
    QNetworkAccessManager *networkManager = nullptr; // shared, or ownNetwork
    std::unique_ptr<QNetworkAccessManager> ownNetwork;
    QPointer<QNetworkReply> reply;
    QFile *file = nullptr;
    bool aborted = false;
    QString downloadPath;

    // Not spelled out by the callers' contract, but needed to keep a transfer sound.
    bool active = false;
    bool storageFailed = false; // the temporary file could not be opened or written
    int redirects = 0;
    QString fileName;
    QString targetName;
    QString temporaryName;
    QString backupName;
    qint64 maxBytes = kDefaultMaxBytes;
    qint64 received = 0;
    Stop stop = Stop::None;
    QTimer stallTimer;
    QTimer deadlineTimer;
};
