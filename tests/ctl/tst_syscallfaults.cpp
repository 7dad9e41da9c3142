// The real nvx7300ctl under injected system-call errors (strace -e inject),
// against a virtual instrument: whatever fails on the disk, the rules below
// hold. Each row names the command, the injection and the rule it must keep.

#include "childenvironment.h"
#include "datahome.h"
#include "demofirmware.h"
#include "simulator.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kRunMs = 90000; // bound for one program run under strace

enum class Rule {
    // The update ends without a single erase unless its own backup was
    // written, flushed (file and folder) and read back this time.
    NoEraseWithoutDurableBackup,
    // A record line that was written is never reported as missing.
    RecordWrittenIsNotCalledMissing,
};

struct Run
{
    int exitCode = -1;
    QString err;
};

} // namespace

Q_DECLARE_METATYPE(Rule)

class SyscallFaultsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dataHome;
    QTemporaryDir files;

    // args with "PORT" and "FIRMWARE" in place; inject empty: no strace.
    Run ctl(QStringList args, const QString &port, const QString &inject)
    {
        args.replaceInStrings(QStringLiteral("PORT"), port);
        args.replaceInStrings(QStringLiteral("FIRMWARE"), files.filePath(QStringLiteral("fw.txt")));
        QProcess p;
        QProcessEnvironment env = nvxtest::childEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
        env.insert(QStringLiteral("NVX_BENCH_BRIDGES"), QStringLiteral("BENCH1=") + port);
        p.setProcessEnvironment(env);
        if (inject.isEmpty())
            p.start(QStringLiteral(CTL_PROGRAM), args);
        else
            p.start(QStringLiteral("strace"), QStringList{QStringLiteral("-f"), QStringLiteral("-qq"),
                                                          QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                                          QStringLiteral("-e"), QStringLiteral("inject=") + inject,
                                                          QStringLiteral(CTL_PROGRAM)}
                                                  + args);
        Run run;
        if (!p.waitForFinished(kRunMs)) {
            p.kill();
            p.waitForFinished();
            return run;
        }
        run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        run.err = QString::fromLocal8Bit(p.readAllStandardError());
        return run;
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
            QSKIP("strace is not installed (scripts/install-deps.sh installs it)");
        QFile firmware(files.filePath(QStringLiteral("fw.txt")));
        QVERIFY(firmware.open(QIODevice::WriteOnly));
        firmware.write(nvx::demo::firmwareImage(1, 208));
    }

    void rulesHoldUnderInjectedErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("inject");
        QTest::addColumn<Rule>("rule");
        const QStringList update{QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("PORT"),
                                 QStringLiteral("--file"), QStringLiteral("FIRMWARE")};
        // The read's backup loses its folder flush, the job's every flush.
        QTest::newRow("folder flush fails after the read's backup")
            << update << "fsync:error=EIO:when=2+" << Rule::NoEraseWithoutDurableBackup;
        QTest::newRow("the job's own folder flush fails")
            << update << "fsync:error=EIO:when=4" << Rule::NoEraseWithoutDurableBackup;
        QTest::newRow("every flush fails") << update << "fsync:error=EIO" << Rule::NoEraseWithoutDurableBackup;
        QTest::newRow("record line written, its flush fails")
            << update << "fdatasync:error=EIO" << Rule::RecordWrittenIsNotCalledMissing;
    }

    void rulesHoldUnderInjectedErrors()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, inject);
        QFETCH(Rule, rule);
        nvxsim::Simulator sim;
        nvxsim::loadDefaultInstrument(sim, 1, 10);
        QVERIFY(sim.start());
        const QString port = QString::fromStdString(sim.slavePath());
        // The store's built-in files and a first backup are in place, so that
        // the injection meets the update's own calls.
        QCOMPARE(ctl({QStringLiteral("version"), QStringLiteral("--port"), QStringLiteral("PORT")}, port, QString()).exitCode, 0);

        const Run run = ctl(args, port, inject);
        switch (rule) {
        case Rule::NoEraseWithoutDurableBackup:
            QVERIFY2(run.exitCode != 0 && run.exitCode != -1, qPrintable(run.err));
            QCOMPARE(sim.stats().massErases, 0);
            QVERIFY2(run.err.contains(QStringLiteral("Update refused: backup check failed")), qPrintable(run.err));
            break;
        case Rule::RecordWrittenIsNotCalledMissing: {
            QVERIFY2(run.exitCode == 0, qPrintable(run.err));
            QVERIFY2(run.err.contains(QStringLiteral("not confirmed on disk")), qPrintable(run.err));
            QVERIFY2(!run.err.contains(QStringLiteral("not recorded")), qPrintable(run.err));
            QFile record(nvxtest::programFolderIn(dataHome.path()) + QStringLiteral("/updates.jsonl"));
            QVERIFY(record.open(QIODevice::ReadOnly));
            QVERIFY(record.readAll().contains("\"result\":\"Update Complete\""));
            break;
        }
        }
    }
};

QTEST_GUILESS_MAIN(SyscallFaultsTest)
#include "tst_syscallfaults.moc"
