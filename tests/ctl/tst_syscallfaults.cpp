// The real nvx7300ctl under injected system-call errors (strace -e inject),
// against a virtual instrument: whatever fails on the disk, the rules below
// hold. Each row names the command, the injection and the rule it must keep.

#include "childenvironment.h"
#include "datahome.h"
#include "demofirmware.h"
#include "simulator.h"
#include "testfiles.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

enum class Rule {
    // No erase unless the job's own backup was written, flushed (file and
    // folder) and read back this time.
    NoEraseWithoutDurableBackup,
    // A record line that was written is never reported as missing.
    RecordWrittenIsNotCalledMissing,
};

} // namespace

Q_DECLARE_METATYPE(Rule)

class SyscallFaultsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dataHome;

    // Runs the program, under strace when inject is given; the exit code
    // (-1: crashed or hung) and standard error.
    QPair<int, QString> ctl(const QStringList &args, const QString &port, const QString &inject = QString())
    {
        QProcess p;
        QProcessEnvironment env = nvxtest::childEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
        env.insert(QStringLiteral("NVX_BENCH_BRIDGES"), QStringLiteral("BENCH1=") + port);
        p.setProcessEnvironment(env);
        const QStringList strace{QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-o/dev/null"),
                                 QStringLiteral("-einject=") + inject, QStringLiteral(CTL_PROGRAM)};
        QStringList all = args;
        all.replaceInStrings(QStringLiteral("PORT"), port);
        p.start(inject.isEmpty() ? QStringLiteral(CTL_PROGRAM) : QStringLiteral("strace"), inject.isEmpty() ? all : strace + all);
        if (!p.waitForFinished(90000))
            p.kill();
        p.waitForFinished();
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromLocal8Bit(p.readAllStandardError())};
    }

private slots:
    void rulesHoldUnderInjectedErrors_data()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
            QSKIP("strace is not installed (scripts/install-deps.sh installs it)");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("inject");
        QTest::addColumn<Rule>("rule");
        const QString firmware = nvxtest::writeFile(dataHome.filePath(QStringLiteral("fw.txt")), nvx::demo::firmwareImage(1, 208));
        const QStringList update{QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("PORT"),
                                 QStringLiteral("--file"), firmware};
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
        // Built-in files and a first backup in place: the injection meets the update's own calls.
        QCOMPARE(ctl({QStringLiteral("version"), QStringLiteral("--port"), port}, port).first, 0);

        const auto run = ctl(args, port, inject);
        switch (rule) {
        case Rule::NoEraseWithoutDurableBackup:
            QVERIFY2(run.first > 0, qPrintable(run.second));
            QCOMPARE(sim.stats().massErases, 0);
            QVERIFY2(run.second.contains(QStringLiteral("Update refused: backup check failed")), qPrintable(run.second));
            break;
        case Rule::RecordWrittenIsNotCalledMissing:
            QVERIFY2(run.first == 0 && run.second.contains(QStringLiteral("not confirmed on disk")), qPrintable(run.second));
            QVERIFY(nvxtest::readFile(nvxtest::programFolderIn(dataHome.path()) + QStringLiteral("/updates.jsonl"))
                        .contains("\"result\":\"Update Complete\""));
            break;
        }
    }
};

QTEST_GUILESS_MAIN(SyscallFaultsTest)
#include "tst_syscallfaults.moc"
