#pragma once

#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslError>
#include <QUrl>

class QAuthenticator;
class QFile;
class QNetworkReply;

// Fetches one HTTP resource into a directory: the bytes go to "<name>.new"
// and replace "<name>" only when the transfer succeeds, so a failed or
// cancelled transfer never touches the copy the caller already has.
class DownloadManager : public QObject
{
    Q_OBJECT

public:
    explicit DownloadManager(QObject *parent = nullptr);
    ~DownloadManager() override;

    // True from downloadFile until finished is emitted.
    bool isActive() const { return active; }
    // The final file name of the current or latest transfer; empty before the first.
    QString targetFileName() const { return targetName; }

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
    void openTemporaryFile();
    void endTransfer(int status);

    QUrl url;
    QNetworkAccessManager networkManager;
    QNetworkReply *reply = nullptr;
    QFile *file = nullptr;
    bool aborted = false;
    QString downloadPath;

    // Not spelled out by the callers' contract, but needed to keep a transfer sound.
    bool active = false;
    bool storageFailed = false; // the temporary file could not be opened or written
    int redirects = 0;
    QString targetName;
    QString temporaryName;
    QString backupName;
};
