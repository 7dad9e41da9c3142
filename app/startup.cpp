#include "startup.h"

#include "loghandler.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QTranslator>
#include <QVariant>

namespace nvx {

QUrl applicationPathUrl(const QString &directory)
{
    return QUrl(QStringLiteral("%1").arg(directory), QUrl::TolerantMode);
}

int runToolkit(int &argc, char **argv, const StartupOptions &options)
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setOrganizationName(QStringLiteral("ostrel"));
    QCoreApplication::setApplicationName(QStringLiteral("nvx7300toolkit"));

    QGuiApplication app(argc, argv);
    qInstallMessageHandler(logMessageHandler);

    // Looked for relative to the working directory, not among the resources;
    // a missing file leaves the empty translator installed.
    QTranslator defaultTranslator;
    (void)defaultTranslator.load(QStringLiteral("Translation_en_GB"), QString(), QString(), QString());
    QCoreApplication::installTranslator(&defaultTranslator);

    QCoreApplication::setOrganizationDomain(QStringLiteral("ostrel.example"));
    QCoreApplication::setApplicationName(QStringLiteral("NVX7300 Toolkit"));

    QQmlApplicationEngine engine;
    const QUrl appPath = applicationPathUrl(QCoreApplication::applicationDirPath());
    engine.rootContext()->setContextProperty(QStringLiteral("appPath"), QVariant::fromValue(appPath));

    engine.load(options.windowUrl);
    if (engine.rootObjects().isEmpty())
        return -1;
    return app.exec();
}

} // namespace nvx
