#include "startup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

// Start-up owns its application object, so each run happens in a child
// process of this test executable.
static int runChild(int argc, char **argv)
{
    nvx::StartupOptions options;
    if (std::strcmp(argv[1], "--child-broken-window") == 0)
        options.windowUrl = QUrl(QStringLiteral("qrc:/does-not-exist.qml"));
    else if (std::strcmp(argv[1], "--child-quit-window") == 0)
        options.windowUrl = QUrl::fromLocalFile(QString::fromLocal8Bit(argv[2]));
    int childArgc = 1;
    return nvx::runToolkit(childArgc, argv, options);
    (void)argc;
}

class StartupTest : public QObject
{
    Q_OBJECT

    QTemporaryDir home;

    QProcess *startChild(const QStringList &args)
    {
        auto *child = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        // No display and no OpenGL here, also when the test is run by hand.
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
        child->setProcessEnvironment(env);
        child->setWorkingDirectory(home.path());
        child->start(QCoreApplication::applicationFilePath(), args);
        return child;
    }

private slots:
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
        QVERIFY(child->waitForFinished(60000));
        QCOMPARE(child->exitStatus(), QProcess::NormalExit);
        QCOMPARE(child->exitCode(), 255); // -1 as a process exit status
    }

    void loadedWindowRunsTheLoopAndLogsUnderTheFinalName()
    {
        // A window that quits at once proves the loop ran and returned its value.
        const QString qml = home.path() + QStringLiteral("/quit.qml");
        QFile f(qml);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("import QtQuick 2.9\nimport QtQuick.Window 2.2\n"
                "Window { visible: true; Component.onCompleted: { console.error(\"window up \" + appPath); Qt.exit(7) } }\n");
        f.close();
        QProcess *child = startChild({QStringLiteral("--child-quit-window"), qml});
        QVERIFY(child->waitForFinished(60000));
        QCOMPARE(child->exitCode(), 7);
        QFile log(home.path() + QStringLiteral("/ostrel/NVX7300 Toolkit/NVX7300Toolkit.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY2(text.contains("{Critical} \t window up " + QCoreApplication::applicationDirPath().toUtf8()), text.constData());
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
