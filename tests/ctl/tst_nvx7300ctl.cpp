// Runs the nvx7300ctl program against virtual instruments on pseudo-terminals
// (served by this process) and a local catalogue server. The program is the
// test bench build, which lists the instruments' bridges that a test names.

#include "childenvironment.h"
#include "datahome.h"
#include "demofirmware.h"
#include "httpfileserver.h"
#include "simulator.h"
#include "status.h"
#include "testfiles.h"

#include <csignal>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

constexpr int kRunMs = 90000; // bound for one program run; a hang fails, it never slows a good run

// Exit statuses as --help documents them.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNoInstrument = 3;
constexpr int kExitPortUnavailable = 4;
constexpr int kExitNotIdentified = 5;
constexpr int kExitUnknownVersion = 6;
constexpr int kExitCatalogueUnreachable = 7;
constexpr int kExitFileUnreadable = 8;

struct Run
{
    int exitCode = -1;
    QStringList out;
    QString err;
};

std::vector<uint8_t> bytesOf(const QByteArray &data)
{
    return std::vector<uint8_t>(data.begin(), data.end());
}

} // namespace

class NvxCtlTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dataHome;
    QTemporaryDir serverRoot;
    std::unique_ptr<nvx::HttpFileServer> server;
    QStringList bridges; // "SERIAL=PORT" for the bench

    // Discovery in the program lists the instrument with this bridge serial number.
    void listBridge(const nvxsim::Simulator &sim, const QString &serialNumber)
    {
        bridges << serialNumber + QLatin1Char('=') + portOf(sim);
    }

    QString catalogueUrl() const { return server->baseUrl().toString() + QStringLiteral("/731"); }
    QString firmwareDir() const { return nvxtest::programFolderIn(dataHome->path()) + QStringLiteral("/firmware"); }

    // Runs the program while this process keeps serving HTTP and the instruments.
    void start(QProcess &p, const QStringList &args)
    {
        QProcessEnvironment env = nvxtest::childEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome->path());
        env.insert(QStringLiteral("NVX_BENCH_BRIDGES"), bridges.join(QLatin1Char(',')));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(CTL_PROGRAM), args);
    }

    Run ctl(const QStringList &args, const QByteArray &input = QByteArray(), const QString &workingDirectory = QString())
    {
        QProcess p;
        if (!workingDirectory.isEmpty())
            p.setWorkingDirectory(workingDirectory);
        QSignalSpy finished(&p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        start(p, args);
        p.write(input);
        p.closeWriteChannel();
        Run run;
        if (!p.waitForStarted(kRunMs) || !finished.wait(kRunMs)) {
            p.kill();
            p.waitForFinished();
            run.err = QStringLiteral("<did not finish>");
            return run;
        }
        run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        run.out = QString::fromLocal8Bit(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        run.err = QString::fromLocal8Bit(p.readAllStandardError());
        return run;
    }

    // baud: the line paced at the loader's rate, starting at this one; 0 unpaced.
    static std::unique_ptr<nvxsim::Simulator> startInstrument(int baud = 0)
    {
        nvxsim::Config config;
        config.baud = baud;
        auto sim = std::make_unique<nvxsim::Simulator>(config);
        nvxsim::loadDefaultInstrument(*sim, 1, 10);
        return sim->start() ? std::move(sim) : nullptr;
    }

    static QString portOf(const nvxsim::Simulator &sim) { return QString::fromStdString(sim.slavePath()); }

    QString recordPath() const { return nvxtest::programFolderIn(dataHome->path()) + QStringLiteral("/updates.jsonl"); }

    // The lines of the record; stage: "started" for the lines jobs write
    // before their erase, empty for all others.
    QList<QJsonObject> recordLines(const QString &stage = QString()) const
    {
        QList<QJsonObject> lines;
        QFile file(recordPath());
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : file.readAll().split('\n')) {
                const QJsonObject object = QJsonDocument::fromJson(line).object();
                if (!line.isEmpty() && (object.value(QStringLiteral("stage")).toString() == QStringLiteral("started")) == !stage.isEmpty())
                    lines << object;
            }
        }
        return lines;
    }

    QString newestFirmware() const
    {
        return serverRoot.filePath(QStringLiteral("731/") + nvx::demo::demoVersions().last().filename());
    }

    // Standard output as the one JSON document it must be, or a null document.
    static QJsonDocument jsonOf(const Run &run)
    {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(run.out.join(QLatin1Char('\n')).toUtf8(), &error);
        if (error.error != QJsonParseError::NoError)
            qWarning().noquote() << "not one JSON document:" << error.errorString() << run.out.join(QLatin1Char('\n'));
        return document;
    }

    static QString closedPortUrl() { return nvxtest::closedLocalUrl(); }

    // What an instrument holds after an update to this version: the image's
    // application and, in information memory, its own data with the version
    // the new firmware records when it starts.
    static void verifyUpdated(const nvxsim::Simulator &sim, const std::vector<uint8_t> &infoBefore, int major, int minor)
    {
        nvxsim::Simulator reference;
        QVERIFY(reference.loadTiTxt(nvx::demo::firmwareImage(major, minor).toStdString()));
        QCOMPARE(sim.read(0x1100, 64), reference.read(0x1100, 64));
        std::vector<uint8_t> expected = infoBefore;
        expected[0x90] = static_cast<uint8_t>(major);
        expected[0x91] = static_cast<uint8_t>(minor);
        QTRY_COMPARE_WITH_TIMEOUT(sim.read(0x1000, 0x100), expected, 5000);
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QProcess::ExitStatus>();
        QString error;
        QVERIFY2(nvx::demo::writeDemoCatalogue(serverRoot.path(), QStringLiteral("http://127.0.0.1:1"), &error),
                 qPrintable(error));
        server = std::make_unique<nvx::HttpFileServer>(serverRoot.path());
        QVERIFY(server->listen());
        // Now that the port is known, publish urls that point at it.
        QVERIFY(nvx::demo::writeDemoCatalogue(serverRoot.path(), server->baseUrl().toString(), &error));
    }

    void init()
    {
        dataHome = std::make_unique<QTemporaryDir>();
        QVERIFY(dataHome->isValid());
        server->clearRules();
        bridges.clear();
    }

    void versionReadsGoodForeignAndLockedInstruments_data()
    {
        QTest::addColumn<uint32_t>("address");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("printed");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("good") << 0u << QByteArray() << QStringLiteral("1.10") << kExitOk;
        QTest::newRow("foreign marker") << 0x1080u << QByteArray("\x80", 1)
                                        << QString(QLatin1String(workflow::kVersionUnknown)) << kExitNotIdentified;
        QByteArray otherVectors = nvx::demo::defaultVectors();
        for (char &b : otherVectors)
            b = static_cast<char>(b ^ 0x5A);
        QTest::newRow("locked") << 0xFFE0u << otherVectors << QString(QLatin1String(workflow::kVersionUnknown))
                                << kExitNotIdentified;
    }

    void versionReadsGoodForeignAndLockedInstruments()
    {
        QFETCH(uint32_t, address);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, printed);
        QFETCH(int, exitCode);
        auto sim = startInstrument();
        QVERIFY(sim);
        if (!bytes.isEmpty())
            sim->write(address, bytesOf(bytes));

        const Run run = ctl({QStringLiteral("version"), QStringLiteral("--port"), portOf(*sim)});
        QCOMPARE(run.out, QStringList{printed});
        QCOMPARE(run.exitCode, exitCode);
        // Nothing but the result reaches standard output, however chatty the engine.
        if (exitCode != kExitOk)
            QCOMPARE(run.err.count(QLatin1Char('\n')), 1);
        // The built-in password file was installed for the read.
        QVERIFY(QFileInfo::exists(firmwareDir() + QStringLiteral("/731-0-00-2019-01-01-1200.txt")));
    }

    void versionWithoutInstrumentAtThePort()
    {
        const Run run = ctl({QStringLiteral("version"), QStringLiteral("--port"), QStringLiteral("/dev/nvx-no-such-port")});
        QCOMPARE(run.exitCode, kExitNoInstrument);
        QVERIFY2(run.err.contains(QStringLiteral("/dev/nvx-no-such-port")), qPrintable(run.err));
    }

    void busyPortIsReportedAsSuch()
    {
        auto sim = startInstrument();
        QVERIFY(sim);
        QSerialPort holder(portOf(*sim));
        QVERIFY(holder.open(QIODevice::ReadWrite));
        const Run run = ctl({QStringLiteral("version"), QStringLiteral("--port"), portOf(*sim)});
        QCOMPARE(run.exitCode, kExitPortUnavailable);
        QVERIFY2(run.err.contains(QStringLiteral("busy")), qPrintable(run.err));
    }

    void eraseBacksUpFirstAndAsksUnlessTold_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("erased");
        QTest::newRow("--yes") << true << QByteArray() << true;
        QTest::newRow("answered yes") << false << QByteArray("y\n") << true;
        QTest::newRow("answered no") << false << QByteArray("n\n") << false;
        QTest::newRow("no answer") << false << QByteArray() << false;
    }

    void eraseBacksUpFirstAndAsksUnlessTold()
    {
        QFETCH(bool, yes);
        QFETCH(QByteArray, answer);
        QFETCH(bool, erased);
        auto sim = startInstrument();
        QVERIFY(sim);
        listBridge(*sim, QStringLiteral("BENCH1"));
        const QByteArray info = QByteArray(reinterpret_cast<const char *>(sim->read(0x1000, 0x100).data()), 0x100);
        const QString file = serverRoot.filePath(QStringLiteral("731/") + nvx::demo::demoVersions().first().filename());
        QStringList args{QStringLiteral("erase"), QStringLiteral("--port"), portOf(*sim), QStringLiteral("--file"), file};
        if (yes)
            args << QStringLiteral("--yes");
        const Run run = ctl(args, answer);
        // The backup is there whatever the answer: the read made it.
        QFile backup(firmwareDir() + QStringLiteral("/731-info-BENCH1.txt"));
        QVERIFY(backup.open(QIODevice::ReadOnly));
        QVERIFY(backup.readAll().startsWith(QByteArray("@1000\n")));
        if (!erased) {
            QCOMPARE(run.exitCode, kExitFailed);
            QCOMPARE(sim->stats().massErases, 0);
            return;
        }
        QVERIFY2(run.exitCode == kExitOk, qPrintable(run.err));
        QCOMPARE(run.out.last(), QStringLiteral("Erase Complete"));
        QVERIFY(sim->stats().massErases >= 1);
        nvxsim::Simulator reference;
        QVERIFY(reference.loadTiTxt(nvx::demo::firmwareImage(1, 126).toStdString()));
        QCOMPARE(sim->read(0x1100, 64), reference.read(0x1100, 64));
        QCOMPARE(sim->read(0x1080, 1), std::vector<uint8_t>{0xFF});
        QVERIFY(info.at(0x80) == char(0xAA));
    }

    void relativeFileIsTheOneInTheStartingFolder()
    {
        // Named like the built-in image, which the program installs in its
        // firmware folder before it programs; the job's own files go to a
        // temporary folder named from the starting folder too.
        QTemporaryDir start;
        QVERIFY(QDir(start.path()).mkdir(QStringLiteral("tmp")));
        QFile fw(start.filePath(QStringLiteral("731-001-010-2019-11-28-1324.txt")));
        QVERIFY(fw.open(QIODevice::WriteOnly));
        fw.write(nvx::demo::firmwareImage(1, 208));
        fw.close();
        auto sim = startInstrument();
        QVERIFY(sim);
        listBridge(*sim, QStringLiteral("BENCH1"));
        const std::vector<uint8_t> infoBefore = sim->read(0x1000, 0x100);
        const QByteArray temporary = qgetenv("TMPDIR");
        qputenv("TMPDIR", "tmp");
        const Run run = ctl({QStringLiteral("update"), QStringLiteral("--port"), portOf(*sim), QStringLiteral("--file"),
                             QStringLiteral("731-001-010-2019-11-28-1324.txt"), QStringLiteral("--verbose")},
                            QByteArray(), start.path());
        temporary.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", temporary);
        QVERIFY2(run.exitCode == kExitOk, qPrintable(run.err));
        QVERIFY(run.err.contains(QStringLiteral("Load memory command is ") + start.filePath(QStringLiteral("tmp/nvx7300-job-"))));
        QTRY_VERIFY_WITH_TIMEOUT(!sim->hostConnected(), 5000);
        verifyUpdated(*sim, infoBefore, 1, 208);
    }

    void leftoverReadLockHoldsNobodyUp_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not a lock") << QByteArray("\x01\x02garbage");
    }

    void leftoverReadLockHoldsNobodyUp()
    {
        QFETCH(QByteArray, contents);
        auto sim = startInstrument();
        QVERIFY(sim);
        QVERIFY(QDir().mkpath(firmwareDir()));
        QFile lock(firmwareDir() + QStringLiteral("/.nvx7300ctl-read.lock"));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(contents);
        lock.flush();
        QVERIFY(lock.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
        lock.close();
        const Run run = ctl({QStringLiteral("version"), QStringLiteral("--port"), portOf(*sim)});
        QCOMPARE(run.out, QStringList{QStringLiteral("1.10")});
        QCOMPARE(run.exitCode, kExitOk);
    }

    void refusalSaysWhyWithoutVerbose_data()
    {
        QTest::addColumn<QByteArray>("firmware"); // empty: a good one
        QTest::addColumn<bool>("listed");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("damaged firmware file") << QByteArray("<html>502 Bad Gateway</html>\n") << true
                                               << "Update refused: firmware file check failed" << kExitFileUnreadable;
        QTest::newRow("plain serial port: no backup can be found again")
            << QByteArray() << false << "Update refused: backup check failed" << kExitFailed;
    }

    void refusalSaysWhyWithoutVerbose()
    {
        QFETCH(QByteArray, firmware);
        QFETCH(bool, listed);
        QFETCH(QString, reason);
        QFETCH(int, exitCode);
        auto sim = startInstrument();
        QVERIFY(sim);
        if (listed)
            listBridge(*sim, QStringLiteral("BENCH1"));
        QTemporaryDir dir;
        QFile fw(dir.filePath(QStringLiteral("fw.txt")));
        QVERIFY(fw.open(QIODevice::WriteOnly));
        fw.write(firmware.isEmpty() ? nvx::demo::firmwareImage(1, 208) : firmware);
        fw.close();
        const Run run = ctl({QStringLiteral("update"), QStringLiteral("--port"), portOf(*sim), QStringLiteral("--file"),
                             fw.fileName()});
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(QStringLiteral("nvx7300ctl: ") + reason), qPrintable(run.err));
        QCOMPARE(sim->stats().massErases, 0);
    }

    void updateInstallsNewestVersionAndRestoresInformationMemory()
    {
        auto sim = startInstrument();
        QVERIFY(sim);
        listBridge(*sim, QStringLiteral("BENCH1"));
        sim->write(0x10C0, {0x11, 0x22, 0x33, 0x44}); // calibration data that must survive
        const std::vector<uint8_t> infoBefore = sim->read(0x1000, 0x100);

        const Run run = ctl({QStringLiteral("update"), QStringLiteral("--port"), portOf(*sim),
                             QStringLiteral("--catalogue-url"), catalogueUrl()});
        QVERIFY2(run.exitCode == kExitOk, qPrintable(run.err));
        QVERIFY(!run.out.isEmpty());
        QCOMPARE(run.out.first(), QStringLiteral("NVX7300 is currently running version 1.10"));
        QCOMPARE(run.out.last(), QStringLiteral("Update Complete"));
        QVERIFY(run.out.join(QLatin1Char('\n')).contains(QStringLiteral("version 1.208")));
        QTRY_VERIFY_WITH_TIMEOUT(!sim->hostConnected(), 5000);
        verifyUpdated(*sim, infoBefore, 1, 208);
    }

    void updateRefusals_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("unknown version") << QStringList{QStringLiteral("--version"), QStringLiteral("1.999")}
                                         << kExitUnknownVersion;
        QTest::newRow("unreadable file") << QStringList{QStringLiteral("--file"), QStringLiteral("/nonexistent/fw.txt")}
                                         << kExitFileUnreadable;
        QTest::newRow("catalogue unreachable") << QStringList{QStringLiteral("--catalogue-url"), closedPortUrl()}
                                               << kExitCatalogueUnreachable;
    }

    void updateRefusals()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        auto sim = startInstrument();
        QVERIFY(sim);
        QStringList all{QStringLiteral("update"), QStringLiteral("--port"), portOf(*sim)};
        if (!args.contains(QStringLiteral("--catalogue-url")))
            all << QStringLiteral("--catalogue-url") << catalogueUrl();
        const Run run = ctl(all + args);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.err.count(QLatin1Char('\n')), 1);
        // Refused before anything was sent to the instrument.
        QCOMPARE(sim->stats().frames, 0);
    }

    void updateAllGoesOnWhenOneInstrumentHangsUp()
    {
        std::vector<std::unique_ptr<nvxsim::Simulator>> sims;
        std::vector<std::vector<uint8_t>> infoBefore;
        QStringList ports;
        for (int i = 0; i < 3; ++i) {
            sims.push_back(startInstrument());
            QVERIFY(sims.back());
            listBridge(*sims.back(), QStringLiteral("BENCH%1").arg(i + 1));
            // Each instrument its own calibration data: reads running side by
            // side must not hand one instrument's back to another.
            sims.back()->write(0x10C0, {uint8_t(0xA0 + i), uint8_t(0xB0 + i), uint8_t(0xC0 + i)});
            infoBefore.push_back(sims.back()->read(0x1000, 0x100));
            ports << portOf(*sims.back());
        }
        // The middle one is pulled during the update, after its read.
        QCOMPARE(ctl({QStringLiteral("version"), QStringLiteral("--port"), ports.at(1)}).exitCode, kExitOk);
        const int readFrames = sims[1]->stats().frames;
        nvxsim::Faults pulled;
        pulled.hangUpAfterFrames = 2 * readFrames + 30;
        sims[1]->setFaults(pulled);

        const Run run = ctl({QStringLiteral("update"), QStringLiteral("--all"), QStringLiteral("--ports"),
                             ports.join(QLatin1Char(',')), QStringLiteral("--catalogue-url"), catalogueUrl()});
        QCOMPARE(run.exitCode, kExitFailed);
        QVERIFY2(run.out.contains(QStringLiteral("2 of 3 updated, 1 failed")), qPrintable(run.out.join('\n')));
        for (int i = 0; i < 3; ++i) {
            const QStringList rows = run.out.filter(QRegularExpression(QStringLiteral("^-\\s+%1\\s").arg(ports.at(i))));
            QCOMPARE(rows.size(), 1);
            QVERIFY2(rows.first().contains(QStringLiteral("1.10")), qPrintable(rows.first()));
            QVERIFY2(rows.first().endsWith(i != 1 ? "Update Complete" : "NVX7300 must be updated again"), qPrintable(rows.first()));
        }
        for (int i : {0, 2}) {
            QTRY_VERIFY_WITH_TIMEOUT(!sims[size_t(i)]->hostConnected(), 5000);
            verifyUpdated(*sims[size_t(i)], infoBefore[size_t(i)], 1, 208);
        }
    }

    void versionsOfflineOnFirstStartThenOnline()
    {
        const int requestsBefore = server->requestLog().size();
        const Run offline = ctl({QStringLiteral("versions"), QStringLiteral("--offline"),
                                 QStringLiteral("--catalogue-url"), catalogueUrl()});
        QCOMPARE(offline.exitCode, kExitOk);
        QVERIFY(offline.out.isEmpty()); // the built-in image is not among the built-in catalogue's versions
        for (const char *name : {"731Versions.json", "731-0-00-2019-01-01-1200.txt", "731-001-010-2019-11-28-1324.txt"})
            QVERIFY2(QFileInfo::exists(firmwareDir() + QLatin1Char('/') + QLatin1String(name)), name);
        QCOMPARE(server->requestLog().size(), requestsBefore);

        const Run online = ctl({QStringLiteral("versions"), QStringLiteral("--catalogue-url"), catalogueUrl()});
        QCOMPARE(online.exitCode, kExitOk);
        QStringList expected;
        const QList<nvx::demo::DemoVersion> versions = nvx::demo::demoVersions();
        for (auto v = versions.crbegin(); v != versions.crend(); ++v)
            expected << v->number();
        QStringList numbers;
        for (const QString &line : online.out)
            numbers << line.section(QLatin1Char(' '), 0, 0);
        QCOMPARE(numbers, expected);
        QVERIFY(online.out.first().endsWith(firmwareDir() + QLatin1Char('/') + versions.last().filename()));

        // What was downloaded is listed offline from then on.
        const int requests = server->requestLog().size();
        const Run again = ctl({QStringLiteral("versions"), QStringLiteral("--offline"),
                               QStringLiteral("--catalogue-url"), catalogueUrl()});
        QCOMPARE(again.out, online.out);
        QCOMPARE(server->requestLog().size(), requests);
    }

    void versionsReportsAnUnreachableOrRefusedCatalogue_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("said");
        QTest::newRow("nothing listening") << closedPortUrl() << "unreachable";
        // An error page where the catalogue should be: rolled back, and said so.
        QTest::newRow("not a catalogue") << server->baseUrl().toString() + QStringLiteral("/garbage")
                                         << "refused at " + server->baseUrl().toString()
                                                + "/garbage: not a catalogue (HTML page?)";
    }

    void versionsReportsAnUnreachableOrRefusedCatalogue()
    {
        QFETCH(QString, url);
        QFETCH(QString, said);
        QDir(serverRoot.path()).mkpath(QStringLiteral("garbage"));
        QFile page(serverRoot.filePath(QStringLiteral("garbage/731Versions.json")));
        QVERIFY(page.open(QIODevice::WriteOnly));
        page.write("<html><body>Proxy error</body></html>\n");
        page.close();

        const Run run = ctl({QStringLiteral("versions"), QStringLiteral("--catalogue-url"), url});
        QCOMPARE(run.exitCode, kExitCatalogueUnreachable);
        QVERIFY2(run.err.contains(said), qPrintable(run.err));
    }

    void updateNeverInstallsAnOlderVersionUnasked()
    {
        auto sim = std::make_unique<nvxsim::Simulator>();
        nvxsim::loadDefaultInstrument(*sim, 2, 0); // newer than anything the demo catalogue lists
        QVERIFY(sim->start());
        const Run run = ctl({QStringLiteral("update"), QStringLiteral("--port"), portOf(*sim),
                             QStringLiteral("--catalogue-url"), catalogueUrl()});
        QCOMPARE(run.exitCode, kExitUnknownVersion);
        QVERIFY2(run.err.contains(QStringLiteral("older than the running 2.0")), qPrintable(run.err));
        QCOMPARE(sim->stats().massErases, 0);
    }

    void updateAtTheRateTheInstrumentTakes_data()
    {
        QTest::addColumn<int>("asked");
        QTest::addColumn<bool>("loaderRefuses");
        QTest::addColumn<int>("lineFailsAbove");
        QTest::addColumn<int>("longFramesFailAbove");
        QTest::addColumn<int>("flipAt"); // two bits of a write flipped, checksum whole; -1: none
        QTest::addColumn<bool>("verify");
        QTest::addColumn<int>("programmedAt");
        QTest::addColumn<int>("changesTaken"); // rate changes the loader acknowledged
        QTest::newRow("9600: nothing to ask") << 9600 << false << 0 << 0 << -1 << false << 9600 << 0;
        QTest::newRow("38400: proved by the read before the erase, then programmed")
            << 38400 << false << 0 << 0 << -1 << false << 38400 << 2;
        QTest::newRow("38400 refused by the loader") << 38400 << true << 0 << 0 << -1 << false << 9600 << 0;
        QTest::newRow("38400 garbled by the line: back to 9600 before the erase")
            << 38400 << false << 19200 << 0 << -1 << false << 9600 << 1;
        QTest::newRow("38400 garbles long frames only: found before the erase")
            << 38400 << false << 0 << 19200 << -1 << false << 9600 << 1;
        QTest::newRow("38400, --verify reads back two flipped bits: programmed again at 9600")
            << 38400 << false << 0 << 0 << 0x1100 << true << 9600 << 2;
    }

    void updateAtTheRateTheInstrumentTakes()
    {
        QFETCH(int, asked);
        QFETCH(bool, loaderRefuses);
        QFETCH(int, lineFailsAbove);
        QFETCH(int, longFramesFailAbove);
        QFETCH(int, flipAt);
        QFETCH(bool, verify);
        QFETCH(int, programmedAt);
        QFETCH(int, changesTaken);
        const bool newFault = longFramesFailAbove || flipAt >= 0; // needs no line time
#ifdef __SANITIZE_ADDRESS__
        if (newFault)
            QSKIP("a whole update or two: the plain build runs it");
#endif
        auto sim = startInstrument(newFault ? 0 : 9600);
        QVERIFY(sim);
        listBridge(*sim, QStringLiteral("BENCH1"));
        nvxsim::Faults faults;
        faults.refuseBaudChange = loaderRefuses;
        faults.lineFailsAbove = lineFailsAbove;
        faults.longFramesFailAbove = longFramesFailAbove;
        faults.flipTwoBitsInWriteAt = flipAt;
        sim->setFaults(faults);
        const std::vector<uint8_t> infoBefore = sim->read(0x1000, 0x100);

        QStringList args{QStringLiteral("update"), QStringLiteral("--port"), portOf(*sim), QStringLiteral("--file"),
                         newestFirmware(), QStringLiteral("--baud"), QString::number(asked), QStringLiteral("--json")};
        const Run run = ctl(verify ? args << QStringLiteral("--verify") : args);
        QVERIFY2(run.exitCode == kExitOk, qPrintable(run.err));
        const QJsonObject report = jsonOf(run).object();
        QCOMPARE(report.value(QStringLiteral("result")).toString(), QStringLiteral("Update Complete"));
        QCOMPARE(report.value(QStringLiteral("baud")).toInt(), programmedAt);
        QCOMPARE(report.value(QStringLiteral("verified")).toBool(), verify);
        QCOMPARE(report.value(QStringLiteral("versionBefore")).toString(), QStringLiteral("1.10"));
        QCOMPARE(report.value(QStringLiteral("versionAfter")).toString(), QStringLiteral("1.208"));
        QCOMPARE(run.err.contains(QStringLiteral("did not take")), programmedAt != asked);
        int taken = 0, offsets = 0;
        for (const nvxsim::Command &c : sim->commandLog()) {
            offsets += c.cmd == 0x21;
            if (c.cmd == 0x20 && c.acked) {
                QCOMPARE(int(c.length), 2); // the mode for 38400
                ++taken;
            }
        }
        QCOMPARE(taken, changesTaken);
        QVERIFY(offsets <= 2 * sim->stats().sessions); // after the password and at the end of a run, not around every block
        QCOMPARE(sim->stats().massErases, flipAt < 0 ? 20 : 40); // one erasing run, two after a failed read-back
        QTRY_VERIFY_WITH_TIMEOUT(!sim->hostConnected(), 5000);
        verifyUpdated(*sim, infoBefore, 1, 208);
        const QList<QJsonObject> records = recordLines();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.first().value(QStringLiteral("baud")).toInt(), programmedAt);
        if (verify) // and what it installed is exactly the file
            QCOMPARE(ctl({QStringLiteral("verify"), QStringLiteral("--port"), portOf(*sim), QStringLiteral("--file"),
                          newestFirmware(), QStringLiteral("--baud"), QString::number(asked)}).exitCode, kExitOk);
    }

    // The production line's run: three instruments at once, one JSON
    // document, and each update a whole line in the record that history reads back.
    void updateAllRecordsEveryInstrument()
    {
        const Run run = ctl({QStringLiteral("--virtual-instrument=3"), QStringLiteral("update"), QStringLiteral("--all"),
                             QStringLiteral("--baud"), QStringLiteral("38400"), QStringLiteral("--json"),
                             QStringLiteral("--catalogue-url"), catalogueUrl()});
        QVERIFY2(run.exitCode == kExitOk, qPrintable(run.err));
        const QJsonArray members = jsonOf(run).object().value(QStringLiteral("instruments")).toArray();
        QCOMPARE(members.size(), 3);
        QStringList serials;
        for (const QJsonValue &member : members) {
            const QJsonObject m = member.toObject();
            serials << m.value(QStringLiteral("serialNumber")).toString();
            QCOMPARE(m.value(QStringLiteral("result")).toString(), QStringLiteral("Update Complete"));
            QCOMPARE(m.value(QStringLiteral("exitStatus")).toInt(-1), kExitOk);
            QCOMPARE(m.value(QStringLiteral("versionBefore")).toString(), QStringLiteral("1.10"));
            QCOMPARE(m.value(QStringLiteral("versionAfter")).toString(), QStringLiteral("1.208"));
            QVERIFY(m.value(QStringLiteral("seconds")).toDouble() > 0);
        }
        serials.sort();
        QCOMPARE(serials, (QStringList{QStringLiteral("VIRTUAL1"), QStringLiteral("VIRTUAL2"), QStringLiteral("VIRTUAL3")}));

        const QList<QJsonObject> records = recordLines();
        QCOMPARE(records.size(), 3);
        QFile served(newestFirmware());
        QVERIFY(served.open(QIODevice::ReadOnly));
        const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(served.readAll(), QCryptographicHash::Sha256).toHex());
        for (const QJsonObject &r : records) {
            QCOMPARE(r.value(QStringLiteral("firmwareSha256")).toString(), sha256);
            QCOMPARE(r.value(QStringLiteral("baud")).toInt(), 38400);
            QVERIFY(QDateTime::fromString(r.value(QStringLiteral("time")).toString(), Qt::ISODate).isValid());
        }

        // Whatever else lands in the file, history reads on and says what it skipped.
        QFile file(recordPath());
        QVERIFY(file.open(QIODevice::Append));
        file.write("{\"time\":\"2024-01-01T00:00:00Z\",\"serialNumber\":\"VIRTUAL2\",\"po");
        file.close();
        const Run history = ctl({QStringLiteral("history"), QStringLiteral("--serial"), QStringLiteral("VIRTUAL2"),
                                 QStringLiteral("--json")});
        QCOMPARE(history.exitCode, kExitOk);
        const QJsonArray mine = jsonOf(history).object().value(QStringLiteral("records")).toArray();
        QCOMPARE(mine.size(), 1);
        QCOMPARE(mine.first().toObject().value(QStringLiteral("serialNumber")).toString(), QStringLiteral("VIRTUAL2"));
        QVERIFY2(history.err.contains(QStringLiteral("line 7 skipped")), qPrintable(history.err));
    }

    void everyCommandPrintsOneJsonDocument_data()
    {
        QTest::addColumn<QStringList>("args"); // "PORT" stands for the instrument's port
        QTest::addColumn<int>("running");      // the instrument's minor version (major 1)
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("path");     // of a value in the document, "instruments/0/port"
        QTest::addColumn<QString>("value");    // empty: null
        const QStringList update{QStringLiteral("update"), QStringLiteral("--catalogue-url"), QStringLiteral("URL")};
        QTest::newRow("version") << QStringList{QStringLiteral("version"), QStringLiteral("--port"), QStringLiteral("PORT")}
                                 << 10 << kExitOk << "version" << "1.10";
        QTest::newRow("version of nothing")
            << QStringList{QStringLiteral("version"), QStringLiteral("--port"), QStringLiteral("/dev/nvx-no-such-port")}
            << 10 << kExitNoInstrument << "state" << "Not connected";
        QTest::newRow("a port that is no serial port") << QStringList{QStringLiteral("version"), QStringLiteral("--port"), QStringLiteral("/")}
                                                       << 10 << kExitNoInstrument << "error"
                                                       << "/ is not a serial port but a folder; name the instrument's port, as list shows it";
        QTest::newRow("list") << QStringList{QStringLiteral("list")} << 10 << kExitOk << "instruments/0/serialNumber" << "BENCH1";
        QTest::newRow("versions") << QStringList{QStringLiteral("versions"), QStringLiteral("--catalogue-url"), QStringLiteral("URL")}
                                  << 10 << kExitOk << "versions/0/version" << "1.208";
        QTest::newRow("verify of another firmware")
            << QStringList{QStringLiteral("verify"), QStringLiteral("--port"), QStringLiteral("PORT"), QStringLiteral("--version"),
                           QStringLiteral("1.208"), QStringLiteral("--catalogue-url"), QStringLiteral("URL")}
            << 10 << kExitFailed << "firstDifference" << "0x110A";
        QTest::newRow("erase refused") << QStringList{QStringLiteral("erase"), QStringLiteral("--port"), QStringLiteral("PORT"),
                                                      QStringLiteral("--file"), QStringLiteral("/nonexistent/fw.txt")}
                                       << 10 << kExitFileUnreadable << "result" << "Erase refused";
        QTest::newRow("update: a withdrawn version is not installed")
            << QStringList{QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("PORT"),
                           QStringLiteral("--catalogue-url"), QStringLiteral("URL")}
            << 10 << kExitOk << "versionAfter" << "1.208";
        QTest::newRow("update: up to date, nothing erased") << update << 208 << kExitOk << "result" << "Up to date";
        QTest::newRow("update --all: up to date") << update + QStringList{QStringLiteral("--all")} << 208 << kExitOk
                                                  << "instruments/0/result" << "Up to date";
        QTest::newRow("update: catalogue unreachable")
            << QStringList{QStringLiteral("update"), QStringLiteral("--version"), QStringLiteral("1.999"),
                           QStringLiteral("--catalogue-url"), closedPortUrl()}
            << 10 << kExitCatalogueUnreachable << "result" << "Update refused";
        QTest::newRow("history: a state apart from the version") << QStringList{QStringLiteral("history")} << 10 << kExitOk
                                                                << "records/0/state" << "Recovery";
        QTest::newRow("mistyped command") << QStringList{QStringLiteral("updte")} << 10 << 2 << "error"
                                          << R"(unknown command "updte" (did you mean "update"?); see nvx7300ctl --help)";
    }

    void everyCommandPrintsOneJsonDocument()
    {
        QFETCH(QStringList, args);
        QFETCH(int, running);
        QFETCH(int, exitCode);
        QFETCH(QString, path);
        QFETCH(QString, value);
        auto sim = startInstrument();
        QVERIFY(sim);
        sim->write(0x1091, {uint8_t(running)});
        listBridge(*sim, QStringLiteral("BENCH1"));
        const QByteArray record = R"({"time":"2024-01-01T00:00:00Z","serialNumber":"BENCH9","port":"/dev/ttyUSB9",)"
                                  R"("versionBefore":"Recovery","versionAfter":"1.208","result":"Update Complete"})" "\n";
        nvxtest::writeFile(recordPath(), record);
        args.replaceInStrings(QStringLiteral("PORT"), portOf(*sim));
        args.replaceInStrings(QStringLiteral("URL"), catalogueUrl());
        // 1.209 came from an earlier catalogue and is withdrawn now: offered nowhere, its file kept.
        QList<nvx::demo::DemoVersion> earlier = nvx::demo::demoVersions();
        earlier.append({1, 209, QDateTime(QDate(2023, 1, 2), QTime(12, 0), Qt::UTC)});
        nvxtest::writeFile(firmwareDir() + QLatin1Char('/') + earlier.last().filename(), nvx::demo::firmwareImage(1, 209));
        nvxtest::writeFile(firmwareDir() + QStringLiteral("/731Versions.json"),
                           nvx::demo::catalogueJson(earlier, catalogueUrl(), QString(), QString()));
        const Run run = ctl(args << QStringLiteral("--json"));
        QCOMPARE(run.exitCode, exitCode);
        const QJsonObject document = jsonOf(run).object();
        QCOMPARE(document.value(QStringLiteral("exitStatus")).toInt(-1), exitCode);
        QCOMPARE(document.value(QStringLiteral("error")).isNull(), exitCode == kExitOk);
        QJsonValue at = document;
        for (const QString &step : path.split(QLatin1Char('/')))
            at = at.isArray() ? at.toArray().at(step.toInt()) : at.toObject().value(step);
        QCOMPARE(at, value.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(value));
        // Version fields hold versions; a state has a field of its own.
        std::function<void(const QJsonValue &)> versionsOnly = [&](const QJsonValue &v) {
            for (const QJsonValue &item : v.toArray())
                versionsOnly(item);
            const QJsonObject o = v.toObject();
            for (auto field = o.begin(); field != o.end(); ++field) {
                if (QStringList{QStringLiteral("version"), QStringLiteral("versionBefore"), QStringLiteral("versionAfter")}.contains(field.key()))
                    QVERIFY2(field->isNull() || QRegularExpression(QStringLiteral("^\\d+\\.\\d+$")).match(field->toString()).hasMatch(),
                             qPrintable(field.key() + QLatin1Char('=') + field->toString()));
                versionsOnly(field.value());
            }
        };
        versionsOnly(document);
        // A run that reports no job erased nothing and recorded nothing.
        bool jobRan = document.value(QStringLiteral("status")).toInt(-1) >= 0;
        for (const QJsonValue &member : document.value(QStringLiteral("instruments")).toArray())
            jobRan = jobRan || member.toObject().value(QStringLiteral("status")).toInt(-1) >= 0;
        if (!jobRan) {
            QCOMPARE(sim->stats().massErases, 0);
            QCOMPARE(nvxtest::readFile(recordPath()), record);
        }
    }

    // What happens to the run once its erase has begun, and what it says.
    void runInterruptedWhileProgramming_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("exitCode"); // -1: killed
        QTest::addColumn<QString>("result"); // of the JSON report and the record; empty: none
        QTest::newRow("SIGTERM waits for the update") << "SIGTERM" << 128 + SIGTERM << "Update Complete";
        QTest::newRow("firmware file replaced: the job's copy is programmed") << "replace" << kExitOk << "Update Complete";
        QTest::newRow("cable pulled") << "pull" << 9 << "NVX7300 must be updated again";
        QTest::newRow("SIGKILL: the next read completes the record") << "SIGKILL" << -1 << QString();
        QTest::newRow("a refresh in another process deletes the stored firmware") << "refresh" << kExitOk << "Update Complete";
    }

    void runInterruptedWhileProgramming()
    {
        QFETCH(QString, action);
        QFETCH(int, exitCode);
        QFETCH(QString, result);
        if (NVX_SANITIZED)
            QSKIP("paced runs: the plain build runs them");
        auto sim = startInstrument(9600);
        QVERIFY(sim);
        listBridge(*sim, QStringLiteral("BENCH1"));
        const std::vector<uint8_t> infoBefore = sim->read(0x1000, 0x100);
        const QString fw = dataHome->filePath(QStringLiteral("fw.txt"));
        QVERIFY(QFile::copy(newestFirmware(), fw));
        // The store's own 1.208, programmed at 9600: long enough for another process's refresh.
        const bool refresh = action == QLatin1String("refresh");
        const QStringList firmware = refresh ? QStringList{QStringLiteral("--version"), QStringLiteral("1.208"),
                                                           QStringLiteral("--catalogue-url"), catalogueUrl()}
                                             : QStringList{QStringLiteral("--file"), fw, QStringLiteral("--baud"), QStringLiteral("38400")};
        QProcess p;
        start(p, QStringList{QStringLiteral("update"), QStringLiteral("--port"), portOf(*sim), QStringLiteral("--json")} + firmware);
        QTRY_VERIFY_WITH_TIMEOUT(sim->stats().massErases > 0, kRunMs);
        if (action == QLatin1String("SIGTERM")) {
            p.terminate();
            p.terminate();
        } else if (action == QLatin1String("SIGKILL")) {
            p.kill();
        } else if (action == QLatin1String("pull")) {
            // ...and left out: the job's own retry at 9600 finds no answer either.
            nvxsim::Faults pulled;
            pulled.silenceAfterFrames = sim->stats().frames + 3;
            sim->setFaults(pulled);
        } else if (refresh) {
            // The catalogue now gives 1.208 a digest its file does not have:
            // the refresh deletes the stored file while it is being programmed.
            const QString catalogue = serverRoot.filePath(QStringLiteral("731/731Versions.json"));
            const QByteArray served = nvxtest::readFile(catalogue);
            QJsonObject root = QJsonDocument::fromJson(served).object();
            QJsonArray versions = root.value(QStringLiteral("versions")).toArray();
            for (QJsonValueRef entry : versions) {
                QJsonObject object = entry.toObject();
                object.insert(QStringLiteral("sha256"), QString(64, QLatin1Char('0')));
                entry = object;
            }
            root.insert(QStringLiteral("versions"), versions);
            nvxtest::writeFile(catalogue, QJsonDocument(root).toJson());
            ctl({QStringLiteral("versions"), QStringLiteral("--catalogue-url"), catalogueUrl()});
            nvxtest::writeFile(catalogue, served);
            QVERIFY(!QFile::exists(firmwareDir() + QLatin1Char('/') + nvx::demo::demoVersions().last().filename()));
            QCOMPARE(p.state(), QProcess::Running);
        } else {
            QVERIFY(QFile::remove(fw));
            nvxtest::writeFile(fw, "<html>502 Bad Gateway</html>\n");
        }
        QVERIFY(p.waitForFinished(kRunMs));
        QCOMPARE(p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, exitCode);
        QCOMPARE(p.readAllStandardError().count("cannot stop now"), action == QLatin1String("SIGTERM") ? 1 : 0);
        if (!result.isEmpty()) {
            QCOMPARE(QJsonDocument::fromJson(p.readAllStandardOutput()).object().value(QStringLiteral("result")).toString(), result);
            QCOMPARE(recordLines().last().value(QStringLiteral("result")).toString(), result);
        }
        if (exitCode == kExitOk || exitCode == 128 + SIGTERM)
            return verifyUpdated(*sim, infoBefore, 1, 208);
        // Only the next read can tell what was left; it completes the record.
        sim->setFaults(nvxsim::Faults());
        QCOMPARE(recordLines(QStringLiteral("started")).size(), 1);
        QCOMPARE(ctl({QStringLiteral("version"), QStringLiteral("--port"), portOf(*sim)}).exitCode, 9);
        const QJsonArray history =
            jsonOf(ctl({QStringLiteral("history"), QStringLiteral("--json")})).object().value(QStringLiteral("records")).toArray();
        QCOMPARE(history.size(), 1); // the started line gives way to the end, or to what the read found
        QCOMPARE(history.last().toObject().value(QStringLiteral("result")).toString(),
                 exitCode == -1 ? "Interrupted; the next read found it left erased, must be updated again" : result);
    }

    void serviceBackupIsRestoredOnlyWhenConfirmed_data()
    {
        QTest::addColumn<QByteArray>("answer"); // none: --yes
        QTest::addColumn<int>("exitCode");
        QTest::newRow("--yes") << QByteArray() << kExitOk;
        QTest::newRow("answered yes") << QByteArray("y\n") << kExitOk;
        QTest::newRow("answered no") << QByteArray("n\n") << kExitFailed;
    }

    void serviceBackupIsRestoredOnlyWhenConfirmed()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, exitCode);
        auto sim = startInstrument();
        QVERIFY(sim);
        listBridge(*sim, QStringLiteral("BENCH1"));
        sim->write(0x10C0, {0x11, 0x22}); // calibration that only the backup keeps
        const std::vector<uint8_t> infoBefore = sim->read(0x1000, 0x100);
        QCOMPARE(ctl({QStringLiteral("version"), QStringLiteral("--port"), portOf(*sim)}).exitCode, kExitOk);
        // Only its digest line is damaged, and no other generation exists.
        const QString backup = firmwareDir() + QStringLiteral("/731-info-BENCH1.txt");
        QByteArray text = nvxtest::readFile(backup);
        text[text.size() - 2] = text.at(text.size() - 2) == '0' ? '1' : '0';
        nvxtest::writeFile(backup, text);
        sim->write(0x1000, std::vector<uint8_t>(0x10000 - 0x1000, 0xFF));

        const Run run = ctl(QStringList{QStringLiteral("update"), QStringLiteral("--port"), portOf(*sim), QStringLiteral("--file"),
                                        newestFirmware(), QStringLiteral("--restore-backup"), backup} + (answer.isEmpty() ? QStringList{QStringLiteral("--yes")} : QStringList()), answer);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.out.contains(QStringLiteral("Bridge serial:   BENCH1")), qPrintable(run.out.join('\n')));
        QVERIFY(run.out.contains(QStringLiteral("Digest line:     does not match")));
        QCOMPARE(sim->stats().massErases > 0, exitCode == kExitOk);
        if (exitCode == kExitOk)
            verifyUpdated(*sim, infoBefore, 1, 208);
    }

    void programVersionSaysWhetherCataloguesAreSigned()
    {
        const Run run = ctl({QStringLiteral("--version")});
        QCOMPARE(run.exitCode, kExitOk);
        QCOMPARE(run.out.join(QLatin1Char('\n')).contains(QStringLiteral("no catalogue key")), !NVX_BUILD_HAS_CATALOGUE_KEY);
    }
};

QTEST_GUILESS_MAIN(NvxCtlTest)
#include "tst_nvx7300ctl.moc"
