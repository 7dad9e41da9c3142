#include "childenvironment.h"

#include <QProcess>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nvxtest {

quint16 closedLocalPort()
{
    static const quint16 port = [] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            qFatal("no local port to send the children's foreign requests to");
        // Kept open (and so bound) until the process ends.
        return quint16(ntohs(address.sin_port));
    }();
    return port;
}

QString closedLocalUrl(const QString &path)
{
    return QStringLiteral("http://127.0.0.1:%1").arg(closedLocalPort()) + path;
}

QProcessEnvironment childEnvironment(quint16 proxyPort)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString proxy = QStringLiteral("http://127.0.0.1:%1").arg(proxyPort ? proxyPort : closedLocalPort());
    for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        env.insert(QLatin1String(name), proxy);
    env.remove(QStringLiteral("no_proxy"));
    env.remove(QStringLiteral("NO_PROXY"));
    return env;
}

int runChild(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess child;
    child.setProcessEnvironment(childEnvironment());
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(program, arguments);
    if (!child.waitForStarted())
        return -2;
    if (!child.waitForFinished(timeoutMs)) {
        child.kill();
        child.waitForFinished();
        return -1;
    }
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
}

} // namespace nvxtest
