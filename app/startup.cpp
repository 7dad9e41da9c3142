#include "startup.h"

#include "autoupdate.h"
#include "cataloguetrust.h"
#include "comportcomboboxmanagement.h"
#include "comportmodel.h"
#include "controller.h"
#include "languagecomboboxmanagement.h"
#include "languagemodel.h"
#include "loghandler.h"
#include "paths.h"
#include "status.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"
#include "virtualbench.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QTranslator>
#include <QtQml>
#include <QVariant>

#include <cstdio>
#include <memory>

namespace nvx {

namespace {

const char kApplicationName[] = "NVX7300 Toolkit"; // the final name, which decides the data location

struct CommandLine
{
    int virtualInstruments = 0;
    QUrl catalogueUrl; // empty: the catalogue server chosen at build time
    int exitCode = -1;  // >= 0: answered (help, version, error); end with this code
};

// Options only: the relaunch after a self-update passes the program's own
// path as an argument, so positional arguments are accepted and ignored.
// Runs before the application object exists, so that --help and --version
// answer without a display.
CommandLine parseCommandLine(int &argc, char **argv)
{
    CommandLine result;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Updates the firmware of NVX7300 instruments."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption virtualOption(
        QStringLiteral("virtual-instrument"),
        QStringLiteral("Start N virtual NVX7300s (default 1) inside the program, listed as \"VIRTUAL1\", ..."),
        QStringLiteral("N"));
    const QCommandLineOption catalogueOption(
        QStringLiteral("catalogue-url"),
        QStringLiteral("Folder on the web server that holds the firmware catalogue (default %1).")
            .arg(VersionComboBoxManagement::defaultServerBase().toString()),
        QStringLiteral("url"));
    parser.addOption(virtualOption);
    parser.addOption(catalogueOption);
    parser.addPositionalArgument(QStringLiteral("[ignored]"), QString());

    // As nvx7300ctl takes it: "--virtual-instrument" alone is one.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        arguments << (argument == QLatin1String("--virtual-instrument") ? argument + QStringLiteral("=1") : argument);
    }
    // The help text names the program as the application object does; one
    // without a display serves, since the program ends after it.
    std::unique_ptr<QCoreApplication> textOnly;
    const bool parsed = parser.parse(arguments);
    const bool help = parsed && (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all")));
    if (!parsed || help)
        textOnly = std::make_unique<QCoreApplication>(argc, argv);
    if (!parsed) {
        std::fprintf(stderr, "%s\n%s", qPrintable(parser.errorText()), qPrintable(parser.helpText()));
        result.exitCode = 2;
        return result;
    }
    if (help) {
        std::printf("%s", qPrintable(parser.helpText()));
        result.exitCode = 0;
        return result;
    }
    if (parser.isSet(versionOption)) {
        std::printf("%s %s\n", kApplicationName,
                    qPrintable(QCoreApplication::applicationVersion()));
        if (catalogue::builtInPublicKey().isEmpty())
            std::printf("no catalogue key: this build accepts unsigned catalogues (development only)\n");
        result.exitCode = 0;
        return result;
    }
    if (parser.isSet(virtualOption)) {
        bool isNumber = false;
        result.virtualInstruments = parser.value(virtualOption).toInt(&isNumber);
        if (!isNumber || result.virtualInstruments < 1 || result.virtualInstruments > VirtualBench::kMaxInstruments) {
            std::fprintf(stderr, "--virtual-instrument takes a count from 1 to %d\n", VirtualBench::kMaxInstruments);
            result.exitCode = 2;
            return result;
        }
    }
    if (parser.isSet(catalogueOption)) {
        const QUrl url(parser.value(catalogueOption), QUrl::StrictMode);
        const QString scheme = url.scheme();
        if (!url.isValid() || url.host().isEmpty()
            || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
            std::fprintf(stderr, "--catalogue-url needs an http or https address, not \"%s\"\n",
                         qPrintable(parser.value(catalogueOption)));
            result.exitCode = 2;
            return result;
        }
        result.catalogueUrl = url;
    }
    return result;
}

bool openGlWorks()
{
#if QT_CONFIG(opengl)
    QOpenGLContext context;
    if (!context.create())
        return false;
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    const bool current = surface.isValid() && context.makeCurrent(&surface);
    if (current)
        context.doneCurrent();
    return current;
#else
    return false;
#endif
}

// Qt Quick aborts the program when it cannot make an OpenGL context (no GL
// driver, a remote desktop, a bare virtual machine). Decided once, before
// the window exists: what the environment asks for, else OpenGL when a
// context can be made, else the software renderer.
void chooseRenderer()
{
    const QByteArray asked = qgetenv("QT_QUICK_BACKEND");
    if (!asked.isEmpty()) {
        qDebug("Qt Quick renderer: %s, as QT_QUICK_BACKEND asks", asked.constData());
        return;
    }
    if (openGlWorks()) {
        qDebug("Qt Quick renderer: OpenGL");
        return;
    }
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
    qWarning("Qt Quick renderer: software (no OpenGL context)");
}

} // namespace

QUrl applicationPathUrl(const QString &directory)
{
    return QUrl(QStringLiteral("%1").arg(directory), QUrl::TolerantMode);
}

int runToolkit(int &argc, char **argv, const StartupOptions &options)
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setOrganizationName(QStringLiteral("ostrel"));
    QCoreApplication::setApplicationName(QStringLiteral("nvx7300toolkit"));

    QCoreApplication::setApplicationVersion(QStringLiteral(NVX_TOOLKIT_VERSION));
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (commandLine.exitCode >= 0)
        return commandLine.exitCode;

    QGuiApplication app(argc, argv);
    qInstallMessageHandler(logMessageHandler);

    // Looked for relative to the working directory, not among the resources;
    // a missing file leaves the empty translator installed.
    QTranslator defaultTranslator;
    (void)defaultTranslator.load(QStringLiteral("Translation_en_GB"), QString(), QString(), QString());
    QCoreApplication::installTranslator(&defaultTranslator);

    QCoreApplication::setOrganizationDomain(QStringLiteral("ostrel.example"));
    QCoreApplication::setApplicationName(QLatin1String(kApplicationName));

    // Before anything reads the data location: the store moves the working directory.
    const QString dataProblem = workflow::paths::settle();
    if (!dataProblem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(dataProblem));
        return 1;
    }

    chooseRenderer();

    qmlRegisterType<Controller>("tarvelin.controller", 1, 0, "Controller");
    // The controller's statuses and version texts, so that the window names
    // them instead of repeating their values.
    qmlRegisterSingletonType<Vocabulary>("tarvelin.controller", 1, 0, "Vocabulary",
                                         [](QQmlEngine *, QJSEngine *) -> QObject * { return new Vocabulary; });
    // ...and why a job refused to start (Controller.refusalReason), by name.
    qmlRegisterUncreatableMetaObject(workflow::staticMetaObject, "tarvelin.controller", 1, 0, "Workflow",
                                     QStringLiteral("Workflow holds the workflow's enumerations only"));
    qmlRegisterType<AutoUpdate>("tarvelin.autoupdate", 1, 0, "AutoUpdate");

    // Before the engine, so that it outlives the window's controller and its
    // worker thread; listed before the first COM port refresh below.
    std::unique_ptr<VirtualBench> virtualBench;
    if (commandLine.virtualInstruments > 0) {
        virtualBench = std::make_unique<VirtualBench>();
        if (!virtualBench->start(commandLine.virtualInstruments)) {
            std::fprintf(stderr, "--virtual-instrument: no pseudo-terminal for the virtual instrument\n");
            return 1;
        }
    }

    // Ended before the objects below, which the window's handlers and
    // bindings reach until it is gone.
    auto engine = std::make_unique<QQmlApplicationEngine>();
    QQmlContext *context = engine->rootContext();
    const QUrl appPath = applicationPathUrl(QCoreApplication::applicationDirPath());
    // The window hands it to the update check as a folder: a text, since a
    // URL's text form escapes "%" and unescapes "%20".
    context->setContextProperty(QStringLiteral("appPath"), QCoreApplication::applicationDirPath());

    ComPortModel comPortModel;
    ComPortComboBoxManagement comPortComboBoxManagement;
    comPortComboBoxManagement.refreshValues(&comPortModel);
    context->setContextProperty(QStringLiteral("comPortModel"), &comPortModel);
    context->setContextProperty(QStringLiteral("comPortComboBoxManagement"), &comPortComboBoxManagement);

    VersionModel versionModel;
    VersionComboBoxManagement versionComboBoxManagement(
        commandLine.catalogueUrl.isEmpty() ? VersionComboBoxManagement::defaultServerBase() : commandLine.catalogueUrl);
    versionComboBoxManagement.setAppPath(appPath);
    versionComboBoxManagement.refreshValues(&versionModel);
    context->setContextProperty(QStringLiteral("versionModel"), &versionModel);
    context->setContextProperty(QStringLiteral("versionComboBoxManagement"), &versionComboBoxManagement);

    LanguageModel languageModel;
    LanguageComboBoxManagement languageComboBoxManagement;
    // The language chosen in the window is kept for the next start.
    languageComboBoxManagement.setSettingsFile(workflow::paths::inDataFolder(QStringLiteral("settings.ini")));
    languageComboBoxManagement.refreshValues(&languageModel);
    context->setContextProperty(QStringLiteral("languageModel"), &languageModel);
    context->setContextProperty(QStringLiteral("languageComboBoxManagement"), &languageComboBoxManagement);
    // The window's texts are bound as it is created: its language must be in
    // place before. The window's own call for the first row is then a no-op.
    if (languageModel.rowCount() > 0)
        languageComboBoxManagement.loadLanguage(languageModel.myData(0, 0).toString());

    engine->load(options.windowUrl);
    if (engine->rootObjects().isEmpty())
        return -1;
    if (options.onWindowLoaded)
        options.onWindowLoaded(LoadedToolkit{*engine, virtualBench.get()});
    const int result = app.exec();
    engine.reset();
    return result;
}

} // namespace nvx
