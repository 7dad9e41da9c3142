// nvx7300ctl under faults it cannot prevent: one kind of system call failing
// (strace -e inject), another user's folder, no home, other processes. The store starts
// with a signed catalogue of 1.126 and 1.207; the server has a newer one and
// only the file the store lacks, 1.208, so a stored file deleted stays gone.
// Rows whose command names PORT run against a virtual instrument that a
// first, fault-free read has backed up, so the fault meets the update's own calls.

#include "cataloguetrust.h"
#include "childenvironment.h"
#include "datahome.h"
#include "demofirmware.h"
#include "httpfileserver.h"
#include "publisher.h"
#include "signingkey.h"
#include "simulator.h"
#include "testfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <memory>
#include <unistd.h>

using nvxtest::readFile;

class SyscallFaultsTest : public QObject
{
    Q_OBJECT

public:
    enum class Rule {
        StoredFilesKept,      // no stored file deleted or replaced after a read or examine error
        CataloguePairMatches, // never a mismatched catalogue and signature, for the next reader either
        FolderReported,       // a folder that cannot be used: exit 8 at once, naming it
        RefreshesTakeTurns,   // refreshes of one store at once: each succeeds, the store ends as served
        // No erase unless the job's own backup was written, flushed (file and
        // folder) and read back this time.
        NoEraseWithoutDurableBackup,
        RecordWrittenIsNotCalledMissing, // a record line that was written is never reported as missing
    };
    Q_ENUM(Rule)

private:
    SigningKey key;
    QTemporaryDir work; // "stored": the store's publication; "731": the server's
    std::unique_ptr<nvx::HttpFileServer> server;
    std::unique_ptr<QTemporaryDir> dataHome;
    QString port; // of the row's virtual instrument, if it has one

    QString programFolder() const { return nvxtest::programFolderIn(dataHome->path()); }
    QString stored(const QString &name = QString()) const { return programFolder() + "/firmware/" + name; }

    // fault: "SYSCALLS:error=E[:when=N] @NAME" fails those calls on NAME in the
    // store (on the store folder for a bare "@"), without "@" every such call;
    // "env:NAME=VALUE ..." sets
    // variables, or unsets those without a value. Returns the exit code and
    // fills out and err; -1 for a crash or a run that did not end.
    int ctl(QStringList args, const QString &fault, QByteArray *out, QString *err)
    {
        args.replaceInStrings("URL", server->baseUrl().toString() + "/731");
        args.replaceInStrings("PORT", port);
        QProcessEnvironment env = nvxtest::childEnvironment();
        env.insert("XDG_DATA_HOME", dataHome->path());
        env.insert("NVX_BENCH_CATALOGUE_KEY", QString::fromLatin1(key.publicKey().toBase64()));
        if (!port.isEmpty())
            env.insert("NVX_BENCH_BRIDGES", "BENCH1=" + port);
        for (const QString &setting : fault.startsWith("env:") ? fault.mid(4).split(' ') : QStringList()) {
            const QString name = setting.section('=', 0, 0);
            setting.endsWith('=') ? env.remove(name) : env.insert(name, setting.section('=', 1));
        }
        QString program = CTL_PROGRAM;
        if (fault == "another user") { // whose folder this is not: root ignores mode bits
            args = QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", program} + args;
            program = "setpriv";
        } else if (fault == "3 at once") {
            args = QStringList{"-c", "\"$0\" \"$@\" & a=$!; \"$0\" \"$@\" & b=$!; \"$0\" \"$@\" && wait $a && wait $b", program} + args;
            program = "/bin/sh";
        } else if (fault.contains(":error=")) {
            const QStringList onPath{"-P", QDir::cleanPath(stored(fault.section('@', 1)))};
            args = QStringList{"-f", "-qq", "-o", "/dev/null"} + (fault.contains('@') ? onPath : QStringList())
                + QStringList{"-e", "inject=" + fault.section(' ', 0, 0), program} + args;
            program = QStandardPaths::findExecutable("strace");
        }
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(dataHome->path()); // what a relative data home is relative to
        QSignalSpy finished(&p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        p.start(program, args);
        const bool ended = finished.wait(90000); // serving the catalogue meanwhile; a wait on the folder fails here
        p.kill();
        p.waitForFinished();
        *out = p.readAllStandardOutput();
        *err = QString::fromLocal8Bit(p.readAllStandardError());
        return ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QProcess::ExitStatus>();
        QString error;
        key = SigningKey::fromFile(DEV_KEY_FILE, &error);
        QVERIFY2(key.isValid(), qPrintable(error));
        server = std::make_unique<nvx::HttpFileServer>(work.path());
        QVERIFY(server->listen());
        const QList<nvx::demo::DemoVersion> versions = nvx::demo::demoVersions();
        for (int count : {2, 3}) {
            const QString plain = work.filePath(QStringLiteral("plain%1/").arg(count));
            for (const nvx::demo::DemoVersion &v : versions.mid(0, count))
                nvxtest::writeFile(plain + v.filename(), nvx::demo::firmwareImage(v.major, v.minor));
            nvxtest::writeFile(plain + nvx::demo::passwordFileName(), nvx::demo::passwordFile());
            QVERIFY2(publish::publishFolder(plain, work.filePath(count == 2 ? "stored" : "731"), server->baseUrl().toString() + "/731",
                                            key, nullptr, &error, QDateTime::currentDateTimeUtc().addDays(count - 4)),
                     qPrintable(error));
        }
        for (const nvx::demo::DemoVersion &v : versions.mid(0, 2))
            QVERIFY(QFile::remove(work.filePath("731/" + v.filename())));
        nvxtest::writeFile(work.filePath("fw.txt"), nvx::demo::firmwareImage(1, 208));
    }

    void init()
    {
        dataHome = std::make_unique<QTemporaryDir>();
        for (const QString &name : QDir(work.filePath("stored")).entryList(QDir::Files))
            nvxtest::writeFile(stored(name), readFile(work.filePath("stored/" + name)));
    }

    void rulesHoldWhateverFails_data()
    {
        QTest::addColumn<QStringList>("args"); // "URL": the server's catalogue folder
        QTest::addColumn<QString>("fault");
        QTest::addColumn<Rule>("rule");
        const QStringList versions{"versions", "--catalogue-url", "URL"};
        QTest::newRow("stored firmware file cannot be opened")
            << versions << "openat:error=EACCES @" + nvx::demo::demoVersions().at(1).filename() << Rule::StoredFilesKept;
        QTest::newRow("installed catalogue cannot be examined")
            << versions << "%%stat:error=EIO @731Versions.json" << Rule::StoredFilesKept;
        QTest::newRow("password file cannot be examined")
            << versions << "%%stat:error=EIO @" + nvx::demo::passwordFileName() << Rule::StoredFilesKept;
        QTest::newRow("relative data home") << versions << "env:XDG_DATA_HOME=." << Rule::StoredFilesKept;
        QTest::newRow("folder flushes fail from the second on")
            << versions << "fsync:error=EIO:when=2+ @" << Rule::CataloguePairMatches;
        QTest::newRow("signature cannot be renamed into place")
            << versions << "renameat:error=EIO @731Versions.json.sig" << Rule::CataloguePairMatches;
        QTest::newRow("another user's folder: versions") << versions << "another user" << Rule::FolderReported;
        QTest::newRow("another user's folder: version")
            << QStringList{"version", "--port", "/dev/nvx-no-such-port"} << "another user" << Rule::FolderReported;
        QTest::newRow("a second and a third process") << versions << "3 at once" << Rule::RefreshesTakeTurns;
        QTest::newRow("no home") << QStringList{"versions", "--offline"} << "env:HOME= XDG_DATA_HOME=" << Rule::FolderReported;
        const QStringList update{"update", "--port", "PORT", "--file", work.filePath("fw.txt")};
        // The read's backup loses its folder flush, the job's every flush.
        QTest::newRow("folder flush fails after the read's backup")
            << update << "fsync:error=EIO:when=2+" << Rule::NoEraseWithoutDurableBackup;
        QTest::newRow("the job's own folder flush fails") << update << "fsync:error=EIO:when=4" << Rule::NoEraseWithoutDurableBackup;
        QTest::newRow("every flush fails") << update << "fsync:error=EIO" << Rule::NoEraseWithoutDurableBackup;
        QTest::newRow("record line written, its flush fails")
            << update << "fdatasync:error=EIO" << Rule::RecordWrittenIsNotCalledMissing;
    }

    void rulesHoldWhateverFails()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, fault);
        QFETCH(Rule, rule);
        if (fault.contains(":error=") && QProcess::execute("strace", {"-o", "/dev/null", "true"}) != 0)
            QSKIP("strace is not installed, or may not trace here");
        if (fault == "another user" && ::geteuid() != 0)
            QSKIP("running as another user needs root");
        QFile::setPermissions(dataHome->path(), QFile::permissions(dataHome->path()) | QFile::ExeOther);
        QHash<QString, QByteArray> before;
        for (const QString &name : QDir(stored()).entryList(QDir::Files | QDir::Hidden))
            before.insert(name, readFile(stored(name)));
        QByteArray out;
        QString err;
        nvxsim::Simulator sim;
        port.clear();
        if (args.contains("PORT")) {
            nvxsim::loadDefaultInstrument(sim, 1, 10);
            QVERIFY(sim.start());
            port = QString::fromStdString(sim.slavePath());
            QCOMPARE(ctl({"version", "--port", "PORT"}, QString(), &out, &err), 0);
        }
        const int exitCode = ctl(args, fault, &out, &err);
        QVERIFY2(exitCode >= 0, qPrintable(err));

        switch (rule) {
        case Rule::StoredFilesKept:
            // As they were, or (catalogue and signature) the server's newer pair.
            for (auto file = before.cbegin(); file != before.cend(); ++file) {
                const QByteArray now = readFile(stored(file.key()));
                QVERIFY2(now == file.value() || (file.key().startsWith("731Versions.json") && now == readFile(work.filePath("731/" + file.key()))),
                         qPrintable(file.key() + '\n' + err));
            }
            // Nothing but the staging folder inside the store: no data home nested in it.
            QCOMPARE(QDir(stored()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"incoming"});
            break;
        case Rule::CataloguePairMatches: {
            // The next reader lists what both catalogues list, and finds the pair in place.
            QStringList listed;
            QCOMPARE(ctl({"versions", "--offline", "--json"}, QString(), &out, &err), 0);
            for (const QJsonValue &version : QJsonDocument::fromJson(out).object().value("versions").toArray())
                listed << version.toObject().value("description").toString();
            QVERIFY2(listed.contains("version 1.207") && listed.contains("version 1.126"), qPrintable(listed.join(',') + err));
            QString why;
            QVERIFY2(catalogue::verifyCatalogueSignature(readFile(stored("731Versions.json")), readFile(stored("731Versions.json.sig")),
                                                         key.publicKey(), &why),
                     qPrintable(why));
            break;
        }
        case Rule::RefreshesTakeTurns:
            QVERIFY2(exitCode == 0, qPrintable(err));
            QCOMPARE(readFile(stored("731Versions.json")), readFile(work.filePath("731/731Versions.json")));
            break;
        case Rule::FolderReported:
            QCOMPARE(exitCode, 8);
            QVERIFY2(err.contains(programFolder()) || err.contains("HOME"), qPrintable(err));
            break;
        case Rule::NoEraseWithoutDurableBackup:
            QVERIFY2(exitCode > 0, qPrintable(err));
            QCOMPARE(sim.stats().massErases, 0);
            QVERIFY2(err.contains("Update refused: backup check failed"), qPrintable(err));
            break;
        case Rule::RecordWrittenIsNotCalledMissing:
            QVERIFY2(exitCode == 0 && err.contains("not confirmed on disk"), qPrintable(err));
            QVERIFY(readFile(programFolder() + "/updates.jsonl").contains("\"result\":\"Update Complete\""));
            break;
        }
    }
};

QTEST_GUILESS_MAIN(SyscallFaultsTest)
#include "tst_syscallfaults.moc"
