#include "startup.h"

#include "autoupdate.h"
#include "comportcomboboxmanagement.h"
#include "comportmodel.h"
#include "controller.h"
#include "languagecomboboxmanagement.h"
#include "languagemodel.h"
#include "loghandler.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QTranslator>
#include <QtQml>
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

    qmlRegisterType<Controller>("tarvelin.controller", 1, 0, "Controller");
    qmlRegisterType<AutoUpdate>("tarvelin.autoupdate", 1, 0, "AutoUpdate");

    QQmlApplicationEngine engine;
    QQmlContext *context = engine.rootContext();
    const QUrl appPath = applicationPathUrl(QCoreApplication::applicationDirPath());
    context->setContextProperty(QStringLiteral("appPath"), QVariant::fromValue(appPath));

    ComPortModel comPortModel;
    ComPortComboBoxManagement comPortComboBoxManagement;
    comPortComboBoxManagement.refreshValues(&comPortModel);
    context->setContextProperty(QStringLiteral("comPortModel"), &comPortModel);
    context->setContextProperty(QStringLiteral("comPortComboBoxManagement"), &comPortComboBoxManagement);

    VersionModel versionModel;
    VersionComboBoxManagement versionComboBoxManagement;
    versionComboBoxManagement.setAppPath(appPath);
    versionComboBoxManagement.refreshValues(&versionModel);
    context->setContextProperty(QStringLiteral("versionModel"), &versionModel);
    context->setContextProperty(QStringLiteral("versionComboBoxManagement"), &versionComboBoxManagement);

    LanguageModel languageModel;
    LanguageComboBoxManagement languageComboBoxManagement;
    languageComboBoxManagement.refreshValues(&languageModel);
    context->setContextProperty(QStringLiteral("languageModel"), &languageModel);
    context->setContextProperty(QStringLiteral("languageComboBoxManagement"), &languageComboBoxManagement);

    engine.load(options.windowUrl);
    if (engine.rootObjects().isEmpty())
        return -1;
    return app.exec();
}

} // namespace nvx
