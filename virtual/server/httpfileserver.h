#pragma once

#include <QHash>
#include <QObject>
#include <QStringList>
#include <QUrl>

class QTcpServer;
class QTcpSocket;

namespace nvx {

// A small HTTP/1.1 file server on 127.0.0.1 for tests and demos. It serves
// the files below a root folder (one request per connection) and can be told
// to misbehave for single paths: other status codes, redirects (to any
// scheme), slow, stalled and endless bodies, connections dropped part-way.
// Requests in absolute form ("GET http://host/a HTTP/1.1") are served by
// their path, so it also works as an HTTP proxy that
// answers for every host.
class HttpFileServer : public QObject
{
    Q_OBJECT

public:
    explicit HttpFileServer(const QString &rootDir, QObject *parent = nullptr);
    ~HttpFileServer() override;

    // Port 0 picks a free port.
    bool listen(quint16 port = 0);
    quint16 port() const;
    // "http://127.0.0.1:<port>"
    QUrl baseUrl() const;
    QString rootDir() const { return root; }

    // Rules for one URL path such as "/731/a.txt"; a later rule replaces an earlier one.
    void setStatus(const QString &path, int statusCode);
    void setRedirect(const QString &path, const QString &location, int statusCode = 302);
    // The body goes out chunkBytes at a time, one chunk every intervalMs.
    void setSlowBody(const QString &path, int chunkBytes, int intervalMs);
    // Sends the headers and bytesBeforeDrop bytes of the body, then closes the
    // connection; a negative count closes it without answering at all.
    void setDropConnection(const QString &path, qint64 bytesBeforeDrop);
    // Sends the headers and bytesBeforeStall bytes of the file, then nothing
    // more while the connection stays open.
    void setStalledBody(const QString &path, qint64 bytesBeforeStall);
    // Answers 200 without a length and sends filler bytes for as long as the
    // client takes them.
    void setEndlessBody(const QString &path);
    void clearRules();

    // "GET /path" for every request received, in order.
    QStringList requestLog() const { return log; }
    int requestCount(const QString &path) const;

signals:
    void requestReceived(const QString &method, const QString &path);

private:
    struct Rule
    {
        int status = 0;           // 0: serve the file
        QString location;         // for 3xx
        int chunkBytes = 0;       // > 0: slow body
        int intervalMs = 0;
        qint64 dropAfter = 0;     // used when drop is set
        bool drop = false;
        qint64 stallAfter = -1;   // >= 0: stalled body
        bool endless = false;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const QString &method, const QString &path);
    void sendSimple(QTcpSocket *socket, int status, const QByteArray &extraHeaders, bool headOnly);
    void sendBody(QTcpSocket *socket, const QByteArray &body, const Rule &rule, bool headOnly,
                  const QByteArray &contentType);
    void sendEndless(QTcpSocket *socket);
    QString localFileFor(const QString &path) const;

    QString root;
    QTcpServer *server;
    QHash<QString, Rule> rules;
    QStringList log;
};

} // namespace nvx
