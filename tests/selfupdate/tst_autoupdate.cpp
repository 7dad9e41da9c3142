#include "autoupdate.h"

#include "childenvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/types.h>

namespace {

const char kToolName[] = "NVX7300ToolkitMaintenanceTool";

// A stand-in maintenance tool: notes every call in calls.log, then does what
// the test asks for the check and for the update run.
bool writeTool(const QString &filePath, const QString &onCheck, const QString &onUpdate)
{
    const QString callLog = QFileInfo(filePath).absolutePath() + QStringLiteral("/calls.log");
    QFile f(filePath);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    const QString script = QStringLiteral("#!/bin/sh\n"
                                          "ulimit -c 0\n"
                                          "echo \"$PWD $*\" >> '%1'\n"
                                          "echo $$ > '%1.pid'\n"
                                          "case \"$1\" in\n"
                                          "  --checkupdates) %2 ;;\n"
                                          "  --updater) %3 ;;\n"
                                          "esac\n"
                                          "exit 99\n")
                               .arg(callLog, onCheck, onUpdate);
    f.write(script.toUtf8());
    f.close();
    return f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QStringList readLines(const QString &filePath)
{
    QFile f(filePath);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

const QString kCrash = QStringLiteral("kill -SEGV $$");

// relaunch() quits the application it runs in, so it runs in a child whose
// argument list is chosen by the parent test.
int runRelaunchChild(char **argv)
{
    // argv: self --relaunch-child X Y Z  ->  the child's own list is X Y Z
    int childArgc = 3;
    char *childArgv[] = {argv[2], argv[3], argv[4], nullptr};
    QCoreApplication app(childArgc, childArgv);
    AutoUpdate autoUpdate;
    QTimer::singleShot(0, &autoUpdate, &AutoUpdate::relaunch);
    QTimer::singleShot(20000, &app, [] { QCoreApplication::exit(3); });
    return app.exec();
}

} // namespace

class AutoUpdateTest : public QObject
{
    Q_OBJECT

    QString m_startDirectory;
    QByteArray m_home;

private slots:
    void initTestCase()
    {
        m_startDirectory = QDir::currentPath();
        m_home = qgetenv("HOME");
    }

    void cleanup()
    {
        QDir::setCurrent(m_startDirectory);
        qputenv("HOME", m_home);
    }

    void checkOutcome_data()
    {
        QTest::addColumn<QString>("onCheck");
        QTest::addColumn<bool>("expectedResult");
        QTest::addColumn<QString>("returnsLine");
        QTest::addColumn<QString>("verdictLine");
        QTest::newRow("exit 0 means an update")
            << "exit 0" << true << "Check for available updates returns 0" << QString();
        QTest::newRow("exit 1 means none")
            << "exit 1" << false << "Check for available updates returns 1" << "No updates available";
        QTest::newRow("exit 7 means none")
            << "exit 7" << false << "Check for available updates returns 7" << "No updates available";
        QTest::newRow("crash") << kCrash << false << QString() << "Error checking for updates";
        QTest::newRow("answer too late") << "exec sleep 10" << false << QString() << "Error checking for updates";
    }

    void checkOutcome()
    {
        QFETCH(QString, onCheck);
        QFETCH(bool, expectedResult);
        QFETCH(QString, returnsLine);
        QFETCH(QString, verdictLine);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(writeTool(dir.filePath(kToolName), onCheck, QStringLiteral("exit 0")));
        const QString callLog = dir.filePath(QStringLiteral("calls.log"));
        const QString cwd = QDir(dir.path()).canonicalPath();

        AutoUpdate autoUpdate;
        autoUpdate.setCheckTimeout(300);
        QSignalSpy starting(&autoUpdate, &AutoUpdate::starting);
        QSignalSpy updated(&autoUpdate, &AutoUpdate::updated);
        QSignalSpy cancelled(&autoUpdate, &AutoUpdate::cancelled);
        QVERIFY(QDir::setCurrent(dir.path()));
        if (!returnsLine.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, returnsLine.toUtf8().constData());
        if (!verdictLine.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, verdictLine.toUtf8().constData());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(autoUpdate.checkForNewApplicationVersion(), expectedResult);
        QVERIFY(clock.elapsed() < 8000); // a late answer is not waited for

        QCOMPARE(readLines(callLog).value(0), cwd + QStringLiteral(" --checkupdates"));
        QCOMPARE(starting.size(), expectedResult ? 1 : 0);
        if (expectedResult) {
            QVERIFY(updated.wait(5000));
            QCOMPARE(readLines(callLog), (QStringList{cwd + QStringLiteral(" --checkupdates"),
                                                      cwd + QStringLiteral(" --updater")}));
        } else {
            QVERIFY(!updated.wait(100));
            QCOMPARE(readLines(callLog).size(), 1);
        }
        QCOMPARE(cancelled.size(), 0);
    }

    void laterCheckTimesOutAndEndsTheTool()
    {
        QTemporaryDir dir;
        QVERIFY(writeTool(dir.filePath(kToolName), QStringLiteral("exec sleep 10"), QStringLiteral("exit 0")));
        AutoUpdate autoUpdate;
        autoUpdate.setCheckTimeout(200);
        QDir::setCurrent(dir.path());
        QTest::ignoreMessage(QtDebugMsg, "Error checking for updates");
        QVERIFY(!autoUpdate.checkForNewApplicationVersion());
        bool ok = false;
        const pid_t pid = readLines(dir.filePath(QStringLiteral("calls.log.pid"))).value(0).toInt(&ok);
        QVERIFY(ok);
        // The tool is gone (killed and reaped), not left sleeping.
        QCOMPARE(::kill(pid, 0), -1);
        QCOMPARE(errno, ESRCH);
    }

    void missingToolIsAnErrorAtOnce()
    {
        QTemporaryDir dir;
        AutoUpdate autoUpdate;
        QSignalSpy starting(&autoUpdate, &AutoUpdate::starting);
        QElapsedTimer clock;
        clock.start();
        QTest::ignoreMessage(QtDebugMsg, "Error checking for updates");
        autoUpdate.setPath(dir.path());
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(starting.size(), 0);
        QCOMPARE(QDir::currentPath(), QDir(dir.path()).canonicalPath());
    }

    void unreachablePathKeepsTheDirectoryAndChecksThere()
    {
        QTemporaryDir dir;
        QVERIFY(writeTool(dir.filePath(kToolName), QStringLiteral("exit 1"), QStringLiteral("exit 0")));
        QDir::setCurrent(dir.path());
        AutoUpdate autoUpdate;
        QTest::ignoreMessage(QtDebugMsg, "Could not change the current working directory");
        QTest::ignoreMessage(QtDebugMsg, "No updates available");
        autoUpdate.setPath(dir.filePath(QStringLiteral("no-such-folder")));
        QCOMPARE(QDir::currentPath(), QDir(dir.path()).canonicalPath());
        QCOMPARE(readLines(dir.filePath(QStringLiteral("calls.log"))).size(), 1);
    }

    void everyWriteOfThePathChecksAgain()
    {
        QTemporaryDir dir;
        QVERIFY(writeTool(dir.filePath(kToolName), QStringLiteral("exit 1"), QStringLiteral("exit 0")));
        QVERIFY(QDir::setCurrent(QDir::rootPath()));
        AutoUpdate autoUpdate;
        QSignalSpy pathChanged(&autoUpdate, &AutoUpdate::pathChanged);
        autoUpdate.setPath(dir.path());
        QCOMPARE(QDir::currentPath(), QDir(dir.path()).canonicalPath());
        autoUpdate.setPath(dir.path());
        QCOMPARE(pathChanged.size(), 2);
        QCOMPARE(pathChanged.at(1).at(0).toString(), dir.path());
        QCOMPARE(autoUpdate.property("path").toString(), dir.path());
        QCOMPARE(readLines(dir.filePath(QStringLiteral("calls.log"))).size(), 2);
    }

    void updateRunOutcome_data()
    {
        QTest::addColumn<QString>("onUpdate");
        QTest::addColumn<bool>("expectUpdated");
        QTest::newRow("exit 0 completes") << "exit 0" << true;
        QTest::newRow("exit 1 cancels") << "exit 1" << false;
        QTest::newRow("crash cancels") << kCrash << false;
    }

    void updateRunOutcome()
    {
        QFETCH(QString, onUpdate);
        QFETCH(bool, expectUpdated);
        QTemporaryDir dir;
        QVERIFY(writeTool(dir.filePath(kToolName), QStringLiteral("exit 0"), onUpdate));
        AutoUpdate autoUpdate;
        QSignalSpy starting(&autoUpdate, &AutoUpdate::starting);
        QSignalSpy updated(&autoUpdate, &AutoUpdate::updated);
        QSignalSpy cancelled(&autoUpdate, &AutoUpdate::cancelled);
        QDir::setCurrent(dir.path());
        QVERIFY(autoUpdate.checkForNewApplicationVersion());
        QCOMPARE(starting.size(), 1);
        QVERIFY((expectUpdated ? updated : cancelled).wait(5000));
        QCOMPARE(updated.size(), expectUpdated ? 1 : 0);
        QCOMPARE(cancelled.size(), expectUpdated ? 0 : 1);
    }

    void updateProgramThatCannotStartSendsNoOutcome()
    {
        // The tool removes itself while answering the check.
        QTemporaryDir dir;
        QVERIFY(writeTool(dir.filePath(kToolName), QStringLiteral("rm \"$0\"; exit 0"), QStringLiteral("exit 0")));
        AutoUpdate autoUpdate;
        QSignalSpy starting(&autoUpdate, &AutoUpdate::starting);
        QSignalSpy updated(&autoUpdate, &AutoUpdate::updated);
        QSignalSpy cancelled(&autoUpdate, &AutoUpdate::cancelled);
        autoUpdate.setPath(dir.path());
        QCOMPARE(starting.size(), 1);
        QVERIFY(!cancelled.wait(300));
        QCOMPARE(updated.size(), 0);
    }

    void destroyingEndsARunningUpdateSilently()
    {
        QTemporaryDir dir;
        QVERIFY(writeTool(dir.filePath(kToolName), QStringLiteral("exit 0"), QStringLiteral("exec sleep 30")));
        auto *autoUpdate = new AutoUpdate;
        QSignalSpy cancelled(autoUpdate, &AutoUpdate::cancelled);
        QSignalSpy updated(autoUpdate, &AutoUpdate::updated);
        autoUpdate->setPath(dir.path());
        // Wait until the update run has written its pid.
        QTRY_COMPARE_WITH_TIMEOUT(readLines(dir.filePath(QStringLiteral("calls.log"))).size(), 2, 5000);
        bool ok = false;
        const pid_t pid = readLines(dir.filePath(QStringLiteral("calls.log.pid"))).value(0).toInt(&ok);
        QVERIFY(ok);
        QElapsedTimer clock;
        clock.start();
        delete autoUpdate;
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(::kill(pid, 0), -1);
        QCOMPARE(cancelled.size() + updated.size(), 0);
    }

    void developmentTreeUsesTheInstalledTool()
    {
        QTemporaryDir dir;
        const QString home = dir.filePath(QStringLiteral("home"));
        const QString project = dir.filePath(QStringLiteral("work/qt_projects/toolkit"));
        QVERIFY(QDir().mkpath(home + QStringLiteral("/NVX7300 Toolkit")));
        QVERIFY(QDir().mkpath(project));
        // A tool in the project folder must not be the one asked.
        QVERIFY(writeTool(project + QLatin1Char('/') + kToolName, QStringLiteral("exit 1"), QStringLiteral("exit 1")));
        QVERIFY(writeTool(home + QStringLiteral("/NVX7300 Toolkit/") + kToolName, QStringLiteral("exit 0"),
                          QStringLiteral("exit 0")));
        qputenv("HOME", home.toUtf8());
        QCOMPARE(AutoUpdate::updateProgram(true), home + QStringLiteral("/NVX7300 Toolkit/") + kToolName);

        AutoUpdate autoUpdate;
        QSignalSpy updated(&autoUpdate, &AutoUpdate::updated);
        QTest::ignoreMessage(QtDebugMsg, "!!!!! Overriding path for development !!!!!");
        autoUpdate.setPath(project);
        QVERIFY(updated.wait(5000));
        const QStringList calls = readLines(home + QStringLiteral("/NVX7300 Toolkit/calls.log"));
        const QString cwd = QDir(project).canonicalPath();
        QCOMPARE(calls, (QStringList{cwd + QStringLiteral(" --checkupdates"), cwd + QStringLiteral(" --updater")}));
        QVERIFY(!QFile::exists(project + QStringLiteral("/calls.log")));
    }

    void metaObjectOrderForQml()
    {
        const QMetaObject &mo = AutoUpdate::staticMetaObject;
        QStringList methods;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
            methods << QString::fromLatin1(mo.method(i).methodSignature());
        QCOMPARE(methods, (QStringList{"starting()", "updated()", "cancelled()", "pathChanged(QString)",
                                       "checkForNewApplicationVersion()", "relaunch()",
                                       "updateFinished(int,QProcess::ExitStatus)"}));
        QCOMPARE(mo.method(mo.indexOfMethod("updateFinished(int,QProcess::ExitStatus)")).access(), QMetaMethod::Private);
        const QMetaProperty path = mo.property(mo.indexOfProperty("path"));
        QVERIFY(path.isWritable());
        QCOMPARE(path.notifySignal().name(), QByteArray("pathChanged"));
    }

    void commandsAsWritten()
    {
        QCOMPARE(AutoUpdate::checkCommand(false), QStringLiteral("NVX7300ToolkitMaintenanceTool --checkupdates"));
        QCOMPARE(AutoUpdate::updateProgram(false), QStringLiteral("NVX7300ToolkitMaintenanceTool"));
        QCOMPARE(AutoUpdate::checkCommand(true),
                 QLatin1Char('"') + AutoUpdate::developmentToolPath() + QStringLiteral("\" --checkupdates"));
    }

    void relaunchStartsTheProgramWithItsWholeArgumentList()
    {
        QTemporaryDir dir;
        const QString recorder = dir.filePath(QStringLiteral("recorder"));
        const QString out = dir.filePath(QStringLiteral("args.txt"));
        QFile f(recorder);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '%1.part'\nmv '%1.part' '%1'\n").arg(out).toUtf8());
        f.close();
        QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        QProcess child;
        child.setProcessEnvironment(nvxtest::childEnvironment());
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--relaunch-child"), recorder, QStringLiteral("Y"), QStringLiteral("Z")});
        QVERIFY(child.waitForFinished(20000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0); // quit() ended the child's event loop
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), 5000);
        QCOMPARE(readLines(out), (QStringList{recorder, recorder, QStringLiteral("Y"), QStringLiteral("Z")}));
    }
};

int main(int argc, char **argv)
{
    if (argc >= 5 && std::strcmp(argv[1], "--relaunch-child") == 0)
        return runRelaunchChild(argv);
    QCoreApplication app(argc, argv);
    AutoUpdateTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_autoupdate.moc"
