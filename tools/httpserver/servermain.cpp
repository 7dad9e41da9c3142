// Serves a folder over HTTP on 127.0.0.1, e.g. a demo catalogue made by
// nvx7300-make-demo-catalogue. The first line of output is the base URL.

#include "httpfileserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nvx7300-catalogue-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves the files below a folder on 127.0.0.1."));
    parser.addHelpOption();
    const QCommandLineOption rootOption(QStringLiteral("root"), QStringLiteral("Folder to serve."),
                                        QStringLiteral("dir"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port (0: any free port)."),
                                        QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("Do not log requests."));
    parser.addOption(rootOption);
    parser.addOption(portOption);
    parser.addOption(quietOption);
    parser.process(app);

    const QString root = parser.value(rootOption);
    if (root.isEmpty() || !QFileInfo(root).isDir()) {
        std::fprintf(stderr, "nvx7300-catalogue-server: --root must name a folder\n");
        return 2;
    }
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "nvx7300-catalogue-server: bad --port\n");
        return 2;
    }

    nvx::HttpFileServer server(root);
    if (!server.listen(quint16(port))) {
        std::fprintf(stderr, "nvx7300-catalogue-server: cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    std::printf("%s\n", qPrintable(server.baseUrl().toString()));
    std::fflush(stdout);

    if (!parser.isSet(quietOption)) {
        QObject::connect(&server, &nvx::HttpFileServer::requestReceived, [](const QString &method, const QString &path) {
            std::fprintf(stderr, "%s %s\n", qPrintable(method), qPrintable(path));
        });
    }
    return app.exec();
}
