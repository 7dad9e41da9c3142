#include "httpfileserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace nvx {

namespace {

constexpr int kMaxRequestHeaderBytes = 16 * 1024; // a test client never sends more

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

QByteArray statusLine(int status)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
}

} // namespace

HttpFileServer::HttpFileServer(const QString &rootDir, QObject *parent)
    : QObject(parent), root(QDir(rootDir).absolutePath()), server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &HttpFileServer::onNewConnection);
}

HttpFileServer::~HttpFileServer() = default;

bool HttpFileServer::listen(quint16 port)
{
    return server->listen(QHostAddress::LocalHost, port);
}

quint16 HttpFileServer::port() const
{
    return server->serverPort();
}

QUrl HttpFileServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()));
}

void HttpFileServer::setStatus(const QString &path, int statusCode)
{
    Rule rule;
    rule.status = statusCode;
    rules.insert(path, rule);
}

void HttpFileServer::setRedirect(const QString &path, const QString &location, int statusCode)
{
    Rule rule;
    rule.status = statusCode;
    rule.location = location;
    rules.insert(path, rule);
}

void HttpFileServer::setSlowBody(const QString &path, int chunkBytes, int intervalMs)
{
    Rule rule;
    rule.chunkBytes = qMax(1, chunkBytes);
    rule.intervalMs = qMax(0, intervalMs);
    rules.insert(path, rule);
}

void HttpFileServer::setDropConnection(const QString &path, qint64 bytesBeforeDrop)
{
    Rule rule;
    rule.drop = true;
    rule.dropAfter = bytesBeforeDrop;
    rules.insert(path, rule);
}

void HttpFileServer::setStalledBody(const QString &path, qint64 bytesBeforeStall)
{
    Rule rule;
    rule.stallAfter = qMax<qint64>(0, bytesBeforeStall);
    rules.insert(path, rule);
}

void HttpFileServer::setEndlessBody(const QString &path)
{
    Rule rule;
    rule.endless = true;
    rules.insert(path, rule);
}

void HttpFileServer::clearRules()
{
    rules.clear();
}

int HttpFileServer::requestCount(const QString &path) const
{
    int count = 0;
    for (const QString &entry : log) {
        if (entry.section(QLatin1Char(' '), 1) == path)
            ++count;
    }
    return count;
}

void HttpFileServer::onNewConnection()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    }
}

void HttpFileServer::onReadyRead(QTcpSocket *socket)
{
    // One request per connection: once answered, further bytes are ignored.
    if (socket->property("answered").toBool())
        return;
    QByteArray buffer = socket->property("request").toByteArray() + socket->readAll();
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (buffer.size() > kMaxRequestHeaderBytes) {
            socket->setProperty("answered", true);
            sendSimple(socket, 400, QByteArray(), false);
        } else {
            socket->setProperty("request", buffer);
        }
        return;
    }
    socket->setProperty("answered", true);

    const QList<QByteArray> parts = buffer.left(buffer.indexOf("\r\n")).split(' ');
    if (parts.size() != 3 || !parts.at(2).startsWith("HTTP/1.")) {
        sendSimple(socket, 400, QByteArray(), false);
        return;
    }
    const QString method = QString::fromLatin1(parts.at(0));
    QByteArray target = parts.at(1);
    // Absolute form, as clients send it to a proxy: serve the path part, so
    // the server can stand in for any host.
    if (target.startsWith("http://")) {
        const int pathStart = target.indexOf('/', 7);
        target = pathStart < 0 ? QByteArray("/") : target.mid(pathStart);
    }
    const int query = target.indexOf('?');
    if (query >= 0)
        target.truncate(query);
    const QString path = QUrl::fromPercentEncoding(target);

    log.append(method + QLatin1Char(' ') + path);
    emit requestReceived(method, path);
    answer(socket, method, path);
}

QString HttpFileServer::localFileFor(const QString &path) const
{
    if (!path.startsWith(QLatin1Char('/')))
        return QString();
    const QStringList segments = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &segment : segments) {
        if (segment == QLatin1String("..") || segment.contains(QLatin1Char('\\')))
            return QString();
    }
    const QString local = root + QLatin1Char('/') + segments.join(QLatin1Char('/'));
    const QFileInfo info(local);
    return info.isFile() ? local : QString();
}

void HttpFileServer::answer(QTcpSocket *socket, const QString &method, const QString &path)
{
    const bool headOnly = method == QLatin1String("HEAD");
    if (method != QLatin1String("GET") && !headOnly) {
        sendSimple(socket, 405, "Allow: GET, HEAD\r\n", false);
        return;
    }

    const Rule rule = rules.value(path);
    if (rule.drop && rule.dropAfter < 0) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (rule.endless && !headOnly) {
        sendEndless(socket);
        return;
    }
    if (rule.status != 0) {
        QByteArray extra;
        if (!rule.location.isEmpty())
            extra = "Location: " + rule.location.toUtf8() + "\r\n";
        sendSimple(socket, rule.status, extra, headOnly);
        return;
    }

    const QString local = localFileFor(path);
    QFile file(local);
    if (local.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        sendSimple(socket, 404, QByteArray(), headOnly);
        return;
    }
    const QByteArray contentType = local.endsWith(QLatin1String(".json")) ? "application/json" : "text/plain";
    sendBody(socket, file.readAll(), rule, headOnly, contentType);
}

void HttpFileServer::sendSimple(QTcpSocket *socket, int status, const QByteArray &extraHeaders, bool headOnly)
{
    const QByteArray body = reasonPhrase(status) + '\n';
    QByteArray response = statusLine(status) + extraHeaders + "Content-Type: text/plain\r\nContent-Length: "
                          + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (!headOnly)
        response += body;
    socket->write(response);
    socket->disconnectFromHost();
}

void HttpFileServer::sendBody(QTcpSocket *socket, const QByteArray &body, const Rule &rule, bool headOnly,
                              const QByteArray &contentType)
{
    socket->write(statusLine(200) + "Content-Type: " + contentType
                  + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n");
    if (headOnly) {
        socket->disconnectFromHost();
        return;
    }
    if (rule.drop) {
        socket->write(body.left(int(qMin<qint64>(rule.dropAfter, body.size()))));
        socket->flush();
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (rule.stallAfter >= 0) {
        // The connection stays open until the client gives up.
        socket->write(body.left(int(qMin<qint64>(rule.stallAfter, body.size()))));
        return;
    }
    if (rule.chunkBytes <= 0) {
        socket->write(body);
        socket->disconnectFromHost();
        return;
    }

    // Slow body: the timer belongs to the socket, so it stops with the connection.
    auto *timer = new QTimer(socket);
    auto offset = std::make_shared<int>(0);
    QPointer<QTcpSocket> guard(socket);
    connect(timer, &QTimer::timeout, socket, [guard, timer, body, offset, chunk = rule.chunkBytes] {
        if (!guard)
            return;
        if (guard->state() != QAbstractSocket::ConnectedState) {
            timer->stop();
            return;
        }
        guard->write(body.mid(*offset, chunk));
        *offset += chunk;
        if (*offset >= body.size()) {
            timer->stop();
            guard->disconnectFromHost();
        }
    });
    timer->start(rule.intervalMs);
}

void HttpFileServer::sendEndless(QTcpSocket *socket)
{
    constexpr int kChunkBytes = 64 * 1024;
    constexpr qint64 kQueuedBytes = 256 * 1024; // what the server buffers, not the client
    socket->write(statusLine(200) + "Content-Type: application/json\r\nConnection: close\r\n\r\n");
    const QByteArray chunk(kChunkBytes, ' ');
    auto feed = [socket, chunk] {
        while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < kQueuedBytes)
            socket->write(chunk);
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, feed);
    feed();
}

} // namespace nvx
