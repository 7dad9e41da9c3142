#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// What every child process that a test starts runs with. Children run the
// real programs, and the built-in catalogue names an archive host on the
// internet: nothing of a test may resolve or contact it. Qt honours
// http_proxy and https_proxy, and requests for 127.0.0.1 bypass them, so a
// child reaches the test's own servers directly and sends everything else
// to a local address.
namespace nvxtest {

// A port of 127.0.0.1 that refuses every connection for as long as this
// process runs (bound, never listening, so no one else can take it).
quint16 closedLocalPort();

// An address on closedLocalPort(): the catalogue of a server that is down.
QString closedLocalUrl(const QString &path = QStringLiteral("/731"));

// This process's environment with http_proxy and https_proxy (either case)
// naming 127.0.0.1:proxyPort, a local server that answers as a proxy (the
// catalogue server does), or closedLocalPort() when proxyPort is 0; and no
// no_proxy, so that no host is let past.
QProcessEnvironment childEnvironment(quint16 proxyPort = 0);

// QProcess::execute in that environment: the exit code, -1 for a crash or a
// time-out, -2 when the program cannot be started.
int runChild(const QString &program, const QStringList &arguments, int timeoutMs = 60000);

} // namespace nvxtest
