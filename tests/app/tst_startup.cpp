#include "startup.h"

#include "catalogueserver.h"
#include "childenvironment.h"
#include "datahome.h"
#include "propertyhistory.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kChildMs = 60000;   // one child start-up; a hang fails the test
constexpr int kRunningMs = 1000;  // how long the real window must keep running after its first frame

// The real window, reporting what its red message said from its creation up
// to its first frame, and leaving a while later.
void reportFirstFrame(const nvx::LoadedToolkit &toolkit)
{
    auto *window = qobject_cast<QQuickWindow *>(toolkit.engine.rootObjects().first());
    auto *red = window->findChild<QQuickItem *>(QStringLiteral("missingTarvelinMessage"));
    auto *shown = new PropertyHistory(red, "text", window);
    QObject::connect(window, &QQuickWindow::frameSwapped, shown, [shown] {
        if (shown->property("framed").toBool())
            return;
        shown->setProperty("framed", true);
        for (const QVariant &text : qAsConst(shown->values))
            std::printf("red message: %s\n", qPrintable(text.toString()));
        std::fflush(stdout);
        QTimer::singleShot(kRunningMs, [] { QCoreApplication::exit(0); });
    });
    QTimer::singleShot(kChildMs / 2, [] { QCoreApplication::exit(3); }); // no frame
}

} // namespace

// Start-up owns its application object, so each run happens in a child
// process of this test executable: self --child-<what> [window] --catalogue-url URL
static int runChild(int argc, char **argv)
{
    nvx::StartupOptions options;
    if (std::strcmp(argv[1], "--child-broken-window") == 0)
        options.windowUrl = QUrl(QStringLiteral("qrc:/does-not-exist.qml"));
    else if (std::strcmp(argv[1], "--child-quit-window") == 0)
        options.windowUrl = QUrl::fromLocalFile(QString::fromLocal8Bit(argv[2]));
    else if (std::strcmp(argv[1], "--child-real-window") == 0)
        options.onWindowLoaded = reportFirstFrame;
    // --child-options: one of the toolkit's own options comes next.
    QVector<char *> toolkitArgv{argv[0]};
    if (std::strcmp(argv[1], "--child-options") == 0)
        toolkitArgv << argv[2];
    toolkitArgv << argv[argc - 2] << argv[argc - 1] << nullptr;
    int toolkitArgc = toolkitArgv.size() - 1;
    return nvx::runToolkit(toolkitArgc, toolkitArgv.data(), options);
}

class StartupTest : public QObject
{
    Q_OBJECT

    QTemporaryDir home;
    CatalogueServer server;

    QProcess *startChild(QStringList args, const QProcessEnvironment &extra = QProcessEnvironment(),
                         const QString &program = QCoreApplication::applicationFilePath())
    {
        auto *child = new QProcess(this);
        QProcessEnvironment env = nvxtest::childEnvironment(server.port());
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        // No display and no OpenGL here, also when the test is run by hand.
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
        env.insert(extra);
        for (const QString &name : extra.keys()) {
            if (extra.value(name).isEmpty())
                env.remove(name);
        }
        child->setProcessEnvironment(env);
        child->setWorkingDirectory(home.path());
        // The toolkit's catalogue on 127.0.0.1, never the built-in server.
        child->start(program, args << QStringLiteral("--catalogue-url") << server.catalogueUrl());
        return child;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        QVERIFY(server.seedStore(nvxtest::programFolderIn(home.path()) + QStringLiteral("/firmware")));
    }

    void appPathIsTheBareDirectory_data()
    {
        QTest::addColumn<QString>("dir");
        QTest::newRow("plain") << QStringLiteral("/opt/nvx/bin");
        QTest::newRow("space") << QStringLiteral("/home/a b/nvx");
        QTest::newRow("percent") << QStringLiteral("/tmp/100%/x");
    }

    void appPathIsTheBareDirectory()
    {
        QFETCH(QString, dir);
        const QUrl url = nvx::applicationPathUrl(dir);
        QVERIFY(url.scheme().isEmpty());
        QCOMPARE(url.toString(), QUrl(dir, QUrl::TolerantMode).toString());
        QCOMPARE(url.path(), QUrl(dir, QUrl::TolerantMode).path());
    }

    void windowThatFailsToLoadGivesMinusOne()
    {
        QProcess *child = startChild({QStringLiteral("--child-broken-window")});
        QVERIFY(child->waitForFinished(kChildMs));
        QCOMPARE(child->exitStatus(), QProcess::NormalExit);
        QCOMPARE(child->exitCode(), 255); // -1 as a process exit status
    }

    void loadedWindowRunsTheLoopAndLogsUnderTheFinalName_data()
    {
        QTest::addColumn<QString>("installFolder"); // relative to a fresh folder; empty: the test's own
        QTest::newRow("as built") << QString();
        QTest::newRow("percent signs") << QStringLiteral("100%done/a%20b");
    }

    void loadedWindowRunsTheLoopAndLogsUnderTheFinalName()
    {
        QFETCH(QString, installFolder);
        QString program = QCoreApplication::applicationFilePath();
        QTemporaryDir installRoot;
        if (!installFolder.isEmpty()) {
            const QString folder = installRoot.filePath(installFolder);
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(QFile::copy(program, folder + QStringLiteral("/tst_startup")));
            program = folder + QStringLiteral("/tst_startup");
        }
        // A window that quits at once proves the loop ran and returned its value;
        // the folder reaches the update check exactly as it is.
        const QString qml = home.path() + QStringLiteral("/quit.qml");
        QFile f(qml);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("import QtQuick 2.9\nimport QtQuick.Window 2.2\nimport tarvelin.autoupdate 1.0\n"
                "Window { visible: true; AutoUpdate { id: autoupdate; path: appPath }\n"
                "  Component.onCompleted: { console.error(\"window up \" + autoupdate.path + \"|\"); Qt.exit(7) } }\n");
        f.close();
        QFile::remove(nvxtest::programFolderIn(home.path()) + QStringLiteral("/NVX7300Toolkit.log"));
        QProcess *child = startChild({QStringLiteral("--child-quit-window"), qml}, QProcessEnvironment(), program);
        QVERIFY(child->waitForFinished(kChildMs));
        QCOMPARE(child->exitCode(), 7);
        QFile log(nvxtest::programFolderIn(home.path()) + QStringLiteral("/NVX7300Toolkit.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        const QByteArray expected = "{Critical} \t window up " + QFileInfo(program).absolutePath().toUtf8() + '|';
        QVERIFY2(text.contains(expected), text.constData());
    }

    // The real window in a child: its texts are in the system's language from
    // the first frame, and without OpenGL it falls back to the software
    // renderer instead of aborting.
    // Answered before the application object: no display needed.
    void optionsAnsweredWithoutADisplay_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("help") << "--help" << 0 << "--virtual-instrument <N>";
        QTest::newRow("version") << "--version" << 0 << "NVX7300 Toolkit ";
        QTest::newRow("no instruments") << "--virtual-instrument=0" << 2 << "takes a count from 1 to 16";
    }

    void optionsAnsweredWithoutADisplay()
    {
        QFETCH(QString, option);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QProcessEnvironment env;
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), QString());
        QProcess *child = startChild({QStringLiteral("--child-options"), option}, env);
        QVERIFY(child->waitForFinished(kChildMs));
        QCOMPARE(child->exitCode(), exitCode);
        QVERIFY(QString::fromUtf8(child->readAllStandardOutput() + child->readAllStandardError()).contains(output));
    }

    void realWindowStarts_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("backend"); // empty: not set
        QTest::addColumn<QString>("redMessage");
        QTest::addColumn<QString>("rendererLine");
        QTest::newRow("fr_FR") << "fr_FR.UTF-8" << "software" << "Veuillez allumer et connecter votre NVX7300"
                               << "Qt Quick renderer: software, as QT_QUICK_BACKEND asks";
        QTest::newRow("de_DE") << "de_DE.UTF-8" << "software" << "Bitte einschalten und NVX7300 anschließen"
                               << "Qt Quick renderer: software, as QT_QUICK_BACKEND asks";
        QTest::newRow("no OpenGL, no backend asked for")
            << "en_GB.UTF-8" << QString() << "Please switch on and connect your NVX7300"
            << "Qt Quick renderer: software (no OpenGL context)";
    }

    void realWindowStarts()
    {
        QFETCH(QString, locale);
        QFETCH(QString, backend);
        QFETCH(QString, redMessage);
        QFETCH(QString, rendererLine);
        QProcessEnvironment env;
        env.insert(QStringLiteral("LC_ALL"), locale);
        env.insert(QStringLiteral("QT_QUICK_BACKEND"), backend);
        // Offscreen reaches OpenGL only through an X display.
        env.insert(QStringLiteral("DISPLAY"), QString());
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=true"));
        QProcess *child = startChild({QStringLiteral("--child-real-window")}, env);
        QVERIFY(child->waitForFinished(kChildMs));
        const QString out = QString::fromUtf8(child->readAllStandardOutput());
        const QString err = QString::fromUtf8(child->readAllStandardError());
        QCOMPARE(child->exitStatus(), QProcess::NormalExit);
        QVERIFY2(child->exitCode() == 0, qPrintable(err.right(2000)));
        const QStringList shown = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).filter(QStringLiteral("red message: "));
        QVERIFY(!shown.isEmpty());
        for (const QString &line : shown)
            QCOMPARE(line, QStringLiteral("red message: ") + redMessage);
        QVERIFY2(err.contains(rendererLine), qPrintable(err.right(2000)));
        // Nor a script error from the window, teardown included.
        QVERIFY2(!err.contains(QLatin1String("qrc:/main.qml:")), qPrintable(err));
    }
};

int main(int argc, char *argv[])
{
    if (argc > 1 && std::strncmp(argv[1], "--child-", 8) == 0)
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    StartupTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
