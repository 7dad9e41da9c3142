#include "childenvironment.h"
#include "datahome.h"
#include "comportcomboboxmanagement.h"
#include "comportmodel.h"
#include "devicesources.h"
#include "listeddevicedriver.h"
#include "loghandler.h"
#include "portcheck.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

// Child modes: the test re-runs itself to observe what only a fresh process
// can show (abort on fatal, hand-off to Qt's default handler on stderr).
static int runChild(const char *mode)
{
    nvxtest::useProgramName();
    qInstallMessageHandler(nvx::logMessageHandler);
    if (std::strcmp(mode, "--child-fatal") == 0) {
        qFatal("fatal marker %d", 42);
        return 3; // not reached
    }
    if (std::strcmp(mode, "--child-debug") == 0) {
        qDebug("debug marker");
        qCritical("critical marker");
        return 0;
    }
    return 2;
}

class LogHandlerTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;

    QString logPath() const { return nvxtest::programFolderIn(home.path()) + QStringLiteral("/NVX7300Toolkit.log"); }

    QByteArray readLog() const
    {
        QFile f(logPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QProcess *startChild(const char *mode)
    {
        auto *child = new QProcess(this);
        QProcessEnvironment env = nvxtest::childEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        child->setProcessEnvironment(env);
        child->start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(mode)});
        return child;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        nvxtest::useDataHome(home.path());
    }

    void init() { QDir(home.path()).removeRecursively(); QDir().mkpath(home.path()); }

    void criticalAndFatalLinesAreExact()
    {
        const QString ts = QStringLiteral("05/03/2020 09:07:02");
        QCOMPARE(nvx::logLineFor(QtCriticalMsg, QStringLiteral("X"), ts).toUtf8(),
                 QByteArray("05/03/2020 09:07:02 {Critical} \t X"));
        QCOMPARE(nvx::logLineFor(QtFatalMsg, QStringLiteral("X"), ts).toUtf8(),
                 QByteArray("05/03/2020 09:07:02 {Fatal} \t\t X"));
    }

    void otherTypesGiveEmptyLines()
    {
        for (QtMsgType t : {QtDebugMsg, QtInfoMsg, QtWarningMsg})
            QVERIFY(nvx::logLineFor(t, QStringLiteral("text"), QStringLiteral("ts")).isEmpty());
    }

    void pathFollowsCurrentApplicationName()
    {
        QVERIFY(nvx::logFilePath().endsWith(QStringLiteral("/ostrel/NVX7300 Toolkit/NVX7300Toolkit.log")));
        QCoreApplication::setApplicationName(QStringLiteral("nvx7300toolkit"));
        QVERIFY(nvx::logFilePath().endsWith(QStringLiteral("/ostrel/nvx7300toolkit/NVX7300Toolkit.log")));
        QCoreApplication::setApplicationName(QStringLiteral("NVX7300 Toolkit"));
    }

    void missingFolderIsCreatedAndCriticalLineAppended()
    {
        QVERIFY(!QFile::exists(logPath()));
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        nvx::logMessageHandler(QtCriticalMsg, QMessageLogContext(), QStringLiteral("disk full"));
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);

        const QByteArray log = readLog();
        QRegularExpression re(QStringLiteral("^(\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d) \\{Critical\\} \\t disk full\\n$"));
        const auto match = re.match(QString::fromUtf8(log));
        QVERIFY2(match.hasMatch(), log.constData());
        const QDateTime stamp = QDateTime::fromString(match.captured(1), QStringLiteral("dd/MM/yyyy hh:mm:ss"));
        QVERIFY(stamp >= before.addMSecs(-before.time().msec()) && stamp <= after);
    }

    void debugAppendsOneEmptyLineWithoutCarriageReturn()
    {
        nvx::logMessageHandler(QtCriticalMsg, QMessageLogContext(), QStringLiteral("a"));
        nvx::logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("ignored"));
        nvx::logMessageHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("ignored"));
        const QByteArray log = readLog();
        QVERIFY(log.endsWith(" a\n\n\n"));
        QVERIFY(!log.contains('\r'));
        QCOMPARE(log.count('\n'), 3);
    }

    void unwritableLocationDoesNotStopTheProgram()
    {
        // A file where the folder should be makes both mkpath and open fail.
        QFile blocker(home.path() + QStringLiteral("/ostrel"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 10; ++i)
            nvx::logMessageHandler(QtCriticalMsg, QMessageLogContext(), QStringLiteral("lost"));
        QVERIFY(!QFile::exists(logPath()));
    }

    // The window scans every second and reads again at each change of the
    // selection: why a port cannot be opened reaches the log file, once.
    void portThatCannotBeOpenedIsNamedInTheLogOnce()
    {
        discovery::setDriverFactory([] {
            return std::make_unique<discovery::ListedDeviceDriver>(
                QVector<discovery::ListedDevice>{{"FT7", "NVX7300", QStringLiteral("/dev/ttyUSB7")}},
                [](const QString &) { return EACCES; });
        });
        const QString unplugged = home.path() + QStringLiteral("/ttyUSB9");
        const QtMessageHandler before = qInstallMessageHandler(nvx::logMessageHandler);
        ComPortModel model;
        ComPortComboBoxManagement selector;
        for (int i = 0; i < 3; ++i) {
            selector.refreshValues(&model);
            portcheck::diagnose(unplugged);
        }
        qInstallMessageHandler(before);
        discovery::setDriverFactory(nullptr);

        QCOMPARE(model.rowCount(), 0);
        const QByteArray log = readLog();
        QCOMPARE(log.count(" {Critical} \t Cannot open /dev/ttyUSB7: this user is not permitted to open it; install the "
                           "udev rule"),
                 1);
        QCOMPARE(log.count(" {Critical} \t Cannot open " + unplugged.toUtf8() + ": no such device"), 1);
    }

    void debugReachesThePreviousHandler()
    {
        QProcess *child = startChild("--child-debug");
        QVERIFY(child->waitForFinished(30000));
        QCOMPARE(child->exitStatus(), QProcess::NormalExit);
        QCOMPARE(child->exitCode(), 0);
        const QByteArray err = child->readAllStandardError();
        QVERIFY2(err.contains("debug marker"), err.constData());
        QVERIFY(err.contains("critical marker"));
        const QByteArray log = readLog();
        QVERIFY(log.startsWith("\n"));
        QVERIFY(log.endsWith(" {Critical} \t critical marker\n"));
    }

    void fatalWritesItsLineThenAborts()
    {
        QProcess *child = startChild("--child-fatal");
        QVERIFY(child->waitForFinished(30000));
        QCOMPARE(child->exitStatus(), QProcess::CrashExit);
        const QByteArray log = readLog();
        QVERIFY2(log.endsWith(" {Fatal} \t\t fatal marker 42\n"), log.constData());
        // The default handler was never reached, so nothing was printed.
        QVERIFY(!child->readAllStandardError().contains("fatal marker"));
    }
};

int main(int argc, char *argv[])
{
    if (argc > 1 && std::strncmp(argv[1], "--child-", 8) == 0) {
        QCoreApplication app(argc, argv);
        return runChild(argv[1]);
    }
    QCoreApplication app(argc, argv);
    LogHandlerTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_loghandler.moc"
