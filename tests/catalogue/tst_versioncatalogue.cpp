#include "cataloguetestfiles.h"
#include "childenvironment.h"
#include "demofirmware.h"
#include "httpfileserver.h"
#include "messagelog.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"

#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using nvx::demo::DemoVersion;
using namespace cataloguetest;
using nvxtest::MessageLog;

namespace {

constexpr int kWaitMs = 10000;

const QString kBuiltInImage = QStringLiteral("731-001-010-2019-11-28-1324.txt");
const QString kVersionDownloadFailed = QStringLiteral("Couldn't copy remote version file.");
const QString kPasswordDownloadFailed = QStringLiteral("Couldn't copy remote password file.");
const QString kParseFailed = QStringLiteral("Couldn't parse local metadata file.");


void waitForRows(VersionModel &model, int rows)
{
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    while (model.rowCount() < rows)
        QVERIFY2(inserted.wait(kWaitMs), qPrintable(QStringLiteral("rows: %1").arg(model.rowCount())));
}

} // namespace

class VersionCatalogueTest : public QObject, CatalogueBench
{
    Q_OBJECT

    static QUrl closedPortBase() { return QUrl(nvxtest::closedLocalUrl()); }

private slots:
    void init() { startBench(); }
    void cleanup() { stopBench(); }

    void firstStartWithoutServerInstallsBuiltInsOnce()
    {
        QVERIFY(QDir::setCurrent(dataHome->path()));
        MessageLog log;
        VersionModel model;
        {
            VersionComboBoxManagement catalogue(closedPortBase());
            QSignalSpy logged(&log, &MessageLog::logged);
            catalogue.refreshValues(&model);

            for (const QString &name : {kCatalogue, kPassword, kBuiltInImage}) {
                QCOMPARE(readFile(local(name)), readFile(QStringLiteral(":/firmware/") + name));
                QVERIFY(QFileInfo(local(name)).isWritable());
            }
            QCOMPARE(QDir::currentPath(), QDir(firmwareDir).canonicalPath());
            QCOMPARE(log.countStartingWith(QtDebugMsg, QStringLiteral("metadata in ")), 3);

            while (log.count(QtWarningMsg, kVersionDownloadFailed) == 0
                   || log.count(QtWarningMsg, kPasswordDownloadFailed) == 0)
                QVERIFY(logged.wait(kWaitMs));
            waitIdle(catalogue);
            QVERIFY(server->requestCount(QStringLiteral("/731/731-001-208-2022-01-07-1353.txt")) >= 1);
            QCOMPARE(model.rowCount(), 0); // the built-in image is not in the built-in catalogue
            QCOMPARE(log.count(QtWarningMsg, kParseFailed), 0);
            QCOMPARE(readFile(local(kPassword)), readFile(QStringLiteral(":/firmware/") + kPassword));
        }

        // A later start finds everything installed and leaves the current directory alone.
        QVERIFY(QDir::setCurrent(dataHome->path()));
        const int copies = log.countStartingWith(QtDebugMsg, QStringLiteral("metadata in "));
        VersionModel again;
        VersionComboBoxManagement catalogue(closedPortBase());
        catalogue.refreshValues(&again);
        QCOMPARE(QDir::currentPath(), QDir(dataHome->path()).canonicalPath());
        QCOMPARE(log.countStartingWith(QtDebugMsg, QStringLiteral("metadata in ")), copies);
    }

    void presentVersionAtOnceOthersAsTheyArriveNewestFirst()
    {
        const QByteArray json = catalogueOf({entryFor(v208, serverUrl(v208.filename())),
                                             entryFor(v126, serverUrl(v126.filename())),
                                             entryFor(v207, serverUrl(v207.filename()))});
        writeFile(local(kCatalogue), json);
        writeFile(served(kCatalogue), json);
        writeFile(local(v207.filename()), nvx::demo::firmwareImage(1, 207));
        for (const DemoVersion &v : {v126, v208})
            writeFile(served(v.filename()), nvx::demo::firmwareImage(v.major, v.minor));
        // Both still running when the fresh catalogue asks for them again.
        server->setSlowBody(QStringLiteral("/731/") + v126.filename(), 64, 40);
        server->setSlowBody(QStringLiteral("/731/") + v208.filename(), 32, 40);

        VersionModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshValues(&model);
        QCOMPARE(descriptions(model), QStringList{QStringLiteral("version 1.207")});

        waitForRows(model, 3);
        waitIdle(catalogue);
        QCOMPARE(descriptions(model), (QStringList{QStringLiteral("version 1.208"), QStringLiteral("version 1.207"),
                                                   QStringLiteral("version 1.126")}));
        QList<int> rows;
        for (const auto &args : inserted)
            rows.append(args.at(1).toInt());
        QCOMPARE(rows, (QList<int>{0, 1, 0}));
        QCOMPARE(model.myData(0, 6).toString(), local(v208.filename()));
        QCOMPARE(readFile(local(v208.filename())), nvx::demo::firmwareImage(1, 208));
        QCOMPARE(readFile(local(kPassword)), nvx::demo::passwordFile());

        // Two passes, but never two transfers of one file.
        QCOMPARE(server->requestCount(QStringLiteral("/731/") + v126.filename()), 1);
        QCOMPARE(server->requestCount(QStringLiteral("/731/") + v208.filename()), 1);
        QCOMPARE(server->requestCount(QStringLiteral("/731/") + v207.filename()), 0);
    }

    void catalogueContentCases_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("parseWarnings"); // the stored one, before the built-in copy replaces it

        QJsonObject second = entryFor(v207, QStringLiteral("http://127.0.0.1:1/731/b.txt"));
        second[QStringLiteral("description")] = QStringLiteral("second of the number");
        QTest::newRow("one number twice")
            << catalogueOf({entryFor(v207, QStringLiteral("http://127.0.0.1:1/731/") + v207.filename()), second})
            << QStringList{QStringLiteral("version 1.207")} << 0;
        // Without a versions array a document is not a catalogue: the built-in one, which lists 1.207, stands in.
        const QStringList builtIn{QStringLiteral("version 1.207")};
        QTest::newRow("no versions") << QByteArray("{\"_comment\": \"nothing yet\"}") << builtIn << 1;
        QTest::newRow("versions not an array") << QByteArray("{\"versions\": 7}") << builtIn << 1;
        QTest::newRow("root is an array") << QByteArray("[1, 2]") << builtIn << 1;

        QJsonObject odd = entryFor(v207, QStringLiteral("http://127.0.0.1:1/731/") + v207.filename());
        odd[QStringLiteral("description")] = 12;
        QTest::newRow("non-string member reads as empty") << catalogueOf({odd}) << QStringList{QString()} << 0;
    }

    void catalogueContentCases()
    {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, rows);
        QFETCH(int, parseWarnings);
        writeFile(local(kCatalogue), json);
        writeFile(local(v207.filename()), nvx::demo::firmwareImage(1, 207));

        MessageLog log;
        VersionModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        VersionComboBoxManagement catalogue(closedPortBase());
        catalogue.refreshValues(&model);
        waitIdle(catalogue);

        QCOMPARE(descriptions(model), rows);
        QCOMPARE(log.count(QtWarningMsg, kParseFailed), parseWarnings);
        QCOMPARE(log.count(QtWarningMsg, kVersionDownloadFailed), 1);
        QVERIFY(QFile::exists(local(kBuiltInImage))); // installed once a catalogue was read
    }

    void damagedCatalogueGivesWayToTheBuiltInOne()
    {
        writeFile(local(kCatalogue), "{ \"versions\": [ ");
        writeFile(served(kCatalogue), "<html>not json</html>");

        MessageLog log;
        VersionModel model;
        model.addVersion(v126.filename(), v126.number(), v126.date(), v126.description(), local(v126.filename()),
                         QString());
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshValues(&model);
        QCOMPARE(log.count(QtWarningMsg, kParseFailed), 1);
        waitIdle(catalogue);

        QCOMPARE(log.count(QtWarningMsg, kParseFailed), 2); // the stored one, then the download
        QCOMPARE(readFile(local(kCatalogue)), readFile(QStringLiteral(":/firmware/") + kCatalogue));
        QCOMPARE(log.count(QtWarningMsg, kVersionDownloadFailed), 0);
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(inserted.count(), 0);
    }

    void badDownloadedCatalogueIsRolledBack()
    {
        const QByteArray good = catalogueOf({entryFor(v207, serverUrl(v207.filename()))});
        writeFile(local(kCatalogue), good);
        writeFile(local(v207.filename()), nvx::demo::firmwareImage(1, 207));
        writeFile(served(kCatalogue), "<html>proxy error page</html>");

        MessageLog log;
        VersionModel model;
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshValues(&model);
        waitIdle(catalogue);

        QCOMPARE(log.count(QtWarningMsg, kParseFailed), 1);
        QCOMPARE(readFile(local(kCatalogue)), good);
        QCOMPARE(descriptions(model), QStringList{QStringLiteral("version 1.207")});
    }

    void missingCatalogueOnServerKeepsLocalCopy()
    {
        const QByteArray json = catalogueOf({entryFor(v207, serverUrl(v207.filename()))});
        writeFile(local(kCatalogue), json);
        writeFile(local(v207.filename()), nvx::demo::firmwareImage(1, 207));

        MessageLog log;
        VersionModel model;
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshValues(&model);
        waitIdle(catalogue);
        QCOMPARE(log.count(QtWarningMsg, kVersionDownloadFailed), 1);
        QCOMPARE(readFile(local(kCatalogue)), json);
        QCOMPARE(model.rowCount(), 1);
    }

    void redirectedFirmwareIsListedOnArrival()
    {
        const QString path = QStringLiteral("/731/") + v126.filename();
        const QByteArray json = catalogueOf({entryFor(v126, serverUrl(v126.filename()))});
        writeFile(local(kCatalogue), json);
        writeFile(served(kCatalogue), json);
        writeFile(served(QStringLiteral("store/") + v126.filename()), nvx::demo::firmwareImage(1, 126));
        server->setRedirect(path, QStringLiteral("store/") + v126.filename(), 302);

        VersionModel model;
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshValues(&model);
        waitIdle(catalogue);
        QCOMPARE(readFile(local(v126.filename())), nvx::demo::firmwareImage(1, 126));
        QCOMPARE(descriptions(model), QStringList{QStringLiteral("version 1.126")});
    }

    void entriesNamingFilesOutsideTheStoreAreSkipped()
    {
        const QString base = serverBase().toString();
        QJsonArray entries;
        QJsonObject e = entryFor(v126, base + QStringLiteral("/escape.txt"));
        e[QStringLiteral("filename")] = QStringLiteral("../escape.txt");
        entries.append(e);
        e = entryFor(v126, base + QStringLiteral("/sub.txt"));
        e[QStringLiteral("filename")] = QStringLiteral("sub/x.txt");
        entries.append(e);
        e = entryFor(v126, base + QStringLiteral("/a%5Cb.txt"));
        e[QStringLiteral("filename")] = QStringLiteral("a\\b.txt");
        entries.append(e);
        e = entryFor(v126, base + QStringLiteral("/"));
        e[QStringLiteral("filename")] = QStringLiteral(".");
        entries.append(e);
        e = entryFor(v126, base + QStringLiteral("/empty.txt"));
        e[QStringLiteral("filename")] = QString();
        entries.append(e);
        e = entryFor(v126, QString());
        entries.append(e);
        entries.append(entryFor(v207, serverUrl(v207.filename())));
        const int unusable = entries.size() - 1;
        writeFile(local(kCatalogue), catalogueOf(entries));
        writeFile(served(v207.filename()), nvx::demo::firmwareImage(1, 207));
        writeFile(dataHome->filePath(QStringLiteral("ostrel/NVX7300 Toolkit/escape.txt")), "outside");

        MessageLog log;
        VersionModel model;
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshValues(&model);
        QCOMPARE(log.countStartingWith(QtWarningMsg, QStringLiteral("processMetadataFile. Skipping version")),
                 unusable);
        waitIdle(catalogue);

        QCOMPARE(descriptions(model), QStringList{QStringLiteral("version 1.207")});
        const QStringList requested = server->requestLog();
        for (const QString &r : requested)
            QVERIFY2(r.endsWith(kCatalogue) || r.endsWith(kPassword) || r.endsWith(v207.filename()), qPrintable(r));
        QStringList stored = QDir(firmwareDir).entryList(QDir::Files);
        stored = stored.filter(QRegularExpression(QStringLiteral("\\.txt$|\\.json$")));
        stored.sort();
        QCOMPARE(stored, (QStringList{kPassword, kBuiltInImage, v207.filename(), kCatalogue}));
    }

    // Whatever an entry names and a server answers, the store's own files and
    // files outside it stay as they were, every address is asked a bounded
    // number of times, and the good entry beside the hostile one is listed.
    void hostileCatalogueCannotHurtTheStore_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("listed");
        const QStringList good{QStringLiteral("version 1.207")};
        const QStringList both{QStringLiteral("version 1.207"), QStringLiteral("version 1.126")};
        QTest::newRow("entry names an information backup") << "backup" << good;
        QTest::newRow("entry names the password file") << "password" << good;
        QTest::newRow("entry names the memory image") << "memory image" << good;
        QTest::newRow("entry names the catalogue") << "catalogue" << good;
        QTest::newRow("entry names a temporary file") << "temporary" << good;
        QTest::newRow("url ends in a backup's name") << "url names backup" << both;
        QTest::newRow("number does not parse") << "zzz" << good;
        QTest::newRow("file: url") << "file" << good;
        QTest::newRow("data: url") << "data" << good;
        QTest::newRow("qrc: url") << "qrc" << good;
        QTest::newRow("firmware redirected to file:") << "redirect" << good;
        QTest::newRow("password file redirected to file:") << "password redirect" << both;
        QTest::newRow("endless firmware body") << "endless firmware" << good;
        QTest::newRow("endless catalogue body") << "endless catalogue" << both;
        QTest::newRow("stalled at one address, good at the other") << "stalled" << both;
        QTest::newRow("failing url spelt unlike its normal form") << "unnormal" << good;
        QTest::newRow("links at the store's names") << "links" << both;
        // Listed by the stored catalogue, no longer by the served one: not offered, its file kept.
        QTest::newRow("version withdrawn") << "withdrawn" << good;
    }

    void hostileCatalogueCannotHurtTheStore()
    {
        QFETCH(QString, fault);
        QFETCH(QStringList, listed);
        constexpr int kStallMs = 1500;     // shortened from 30 s; far above any gap on 127.0.0.1
        constexpr int kMaxRequests = 4;    // per address over two starts
        const QString backupName = QStringLiteral("731-info-VIRTUAL1.txt");
        const QString imageName = QStringLiteral("731-0-01-2019-01-01-1200.txt");
        const QByteArray password = nvx::demo::passwordFile(); // also the served one
        const QByteArray backup = "@1000\nAA 55\nq\n";
        const QByteArray memoryImage = "@1000\n55 AA\nq\n";
        const QByteArray image126 = nvx::demo::firmwareImage(1, 126);
        writeFile(local(kPassword), password);
        writeFile(local(backupName), backup);
        writeFile(local(imageName), memoryImage);
        // Outside the store, read-only: what a link or a file: address reaches.
        const QString outside = dataHome->filePath(QStringLiteral("outside.txt"));
        writeFile(outside, image126);
        QVERIFY(QFile::setPermissions(outside, QFileDevice::ReadOwner));
        const QString outsideDir = dataHome->filePath(QStringLiteral("outside"));
        QVERIFY(QDir().mkpath(outsideDir));
        writeFile(served(v207.filename()), nvx::demo::firmwareImage(1, 207));
        writeFile(served(v126.filename()), image126);

        QJsonObject hostile = entryFor(v126, serverUrl(v126.filename()));
        QJsonObject stored; // the stored catalogue's version of it, when it differs
        const QString fileUrl = QUrl::fromLocalFile(outside).toString();
        if (fault == QLatin1String("backup")) {
            hostile[QStringLiteral("filename")] = backupName;
        } else if (fault == QLatin1String("password")) {
            hostile[QStringLiteral("filename")] = kPassword;
        } else if (fault == QLatin1String("memory image")) {
            hostile[QStringLiteral("filename")] = imageName;
        } else if (fault == QLatin1String("catalogue")) {
            hostile[QStringLiteral("filename")] = kCatalogue;
        } else if (fault == QLatin1String("temporary")) {
            hostile[QStringLiteral("filename")] = v126.filename() + QStringLiteral(".new");
        } else if (fault == QLatin1String("url names backup")) {
            hostile[QStringLiteral("url")] = serverUrl(backupName);
            writeFile(served(backupName), image126);
        } else if (fault == QLatin1String("zzz")) {
            hostile[QStringLiteral("number")] = QStringLiteral("zzz");
        } else if (fault == QLatin1String("file")) {
            hostile[QStringLiteral("url")] = fileUrl;
        } else if (fault == QLatin1String("data")) {
            hostile[QStringLiteral("url")] = QString::fromLatin1("data:text/plain;base64," + image126.toBase64());
        } else if (fault == QLatin1String("qrc")) {
            hostile[QStringLiteral("url")] = QStringLiteral("qrc:/firmware/") + kBuiltInImage;
        } else if (fault == QLatin1String("redirect")) {
            server->setRedirect(QStringLiteral("/731/") + v126.filename(), fileUrl);
        } else if (fault == QLatin1String("password redirect")) {
            const QString other = dataHome->filePath(QStringLiteral("other-password.txt"));
            writeFile(other, password.left(password.indexOf("q\r\n") + 3)); // a valid file of one record
            server->setRedirect(QStringLiteral("/731/") + kPassword, QUrl::fromLocalFile(other).toString());
        } else if (fault == QLatin1String("endless firmware")) {
            server->setEndlessBody(QStringLiteral("/731/") + v126.filename());
        } else if (fault == QLatin1String("endless catalogue")) {
            server->setEndlessBody(QStringLiteral("/731/") + kCatalogue);
        } else if (fault == QLatin1String("stalled")) {
            const QString slow = QStringLiteral("/slow/") + v126.filename();
            writeFile(serverRoot->filePath(slow.mid(1)), image126);
            server->setStalledBody(slow, 100);
            stored = entryFor(v126, server->baseUrl().toString() + slow);
        } else if (fault == QLatin1String("unnormal")) {
            hostile[QStringLiteral("url")] =
                server->baseUrl().toString() + QStringLiteral("/731/%2E/missing%2d") + v126.filename();
        } else if (fault == QLatin1String("withdrawn")) {
            writeFile(local(v126.filename()), image126); // offered until the served catalogue arrives
        } else if (fault == QLatin1String("links")) {
            QVERIFY(QFile::remove(local(kPassword)));
            QVERIFY(QFile::link(outside, local(kPassword)));
            QVERIFY(QFile::link(outside, local(v207.filename())));
            QVERIFY(QFile::link(outsideDir, local(QStringLiteral("incoming"))));
        }
        const QByteArray servedJson = fault == QLatin1String("withdrawn")
                                          ? catalogueOf({entryFor(v207, serverUrl(v207.filename()))})
                                          : catalogueOf({entryFor(v207, serverUrl(v207.filename())), hostile});
        const QByteArray storedJson =
            catalogueOf({entryFor(v207, serverUrl(v207.filename())), stored.isEmpty() ? hostile : stored});
        writeFile(served(kCatalogue), servedJson);
        writeFile(local(kCatalogue), storedJson);

        VersionModel model;
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.setStallTimeout(kStallMs);
        for (int start = 0; start < 2; ++start) {
            catalogue.refreshValues(&model);
            waitIdle(catalogue);
        }

        QCOMPARE(descriptions(model), listed);
        for (int row = 0; row < model.rowCount(); ++row) {
            const QFileInfo file(model.myData(row, 6).toString());
            QVERIFY2(file.isFile() && !file.isSymLink(), qPrintable(file.filePath()));
        }
        QCOMPARE(readFile(local(kPassword)), password);
        QVERIFY(!QFileInfo(local(kPassword)).isSymLink());
        QCOMPARE(readFile(local(backupName)), backup);
        QCOMPARE(readFile(local(imageName)), memoryImage);
        QCOMPARE(readFile(local(kCatalogue)), fault == QLatin1String("endless catalogue") ? storedJson : servedJson);
        QCOMPARE(readFile(outside), image126);
        QVERIFY(!(QFile::permissions(outside) & QFileDevice::WriteOwner)); // no chmod through a link
        QCOMPARE(QDir(outsideDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden), QStringList());

        QHash<QString, int> requests;
        for (const QString &request : server->requestLog())
            QVERIFY2(++requests[request] <= kMaxRequests, qPrintable(request));
        QStringList names = QDir(firmwareDir).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QStringList expected{kCatalogue, kPassword, kBuiltInImage, backupName, imageName, v207.filename(),
                             QStringLiteral("731Versions.kept")};
        if (listed.size() == 2 || fault == QLatin1String("withdrawn"))
            expected.append(v126.filename());
        names.sort();
        expected.sort();
        QCOMPARE(names, expected);
    }

    void localRefreshListsPresentFilesWithoutAnyRequest()
    {
        // The server has everything, so any request would show in its log.
        const QByteArray json = catalogueOf({entryFor(v208, serverUrl(v208.filename())),
                                             entryFor(v207, serverUrl(v207.filename()))});
        writeFile(served(kCatalogue), json);
        writeFile(served(v208.filename()), nvx::demo::firmwareImage(1, 208));
        writeFile(local(kCatalogue), json);
        writeFile(local(v207.filename()), nvx::demo::firmwareImage(1, 207));

        VersionModel model;
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshLocalValues(&model);
        QCOMPARE(descriptions(model), QStringList{QStringLiteral("version 1.207")});
        QVERIFY(!catalogue.isRefreshing());
        QCoreApplication::processEvents();
        QVERIFY(server->requestLog().isEmpty());
        QVERIFY(!QFileInfo::exists(local(v208.filename())));

        // A normal refresh afterwards still fetches what is missing.
        catalogue.refreshValues(&model);
        waitForRows(model, 2);
        waitIdle(catalogue);
        QCOMPARE(server->requestCount(QStringLiteral("/731/") + v208.filename()), 1);
    }

    void fileThatFailsAtOneAddressIsFetchedFromTheOther()
    {
        // The local catalogue names the file at an address that answers
        // slowly with an error page; the fresh catalogue names it on the
        // server. The second request waits for the first, then gets its turn.
        const QString slowPath = QStringLiteral("/elsewhere/") + v207.filename();
        writeFile(serverRoot->filePath(slowPath.mid(1)), QByteArray("<html><body>Not here</body></html>\n").repeated(8));
        server->setSlowBody(slowPath, 16, 40);
        writeFile(local(kCatalogue),
                  catalogueOf({entryFor(v207, server->baseUrl().toString() + slowPath)}));
        writeFile(served(kCatalogue), catalogueOf({entryFor(v207, serverUrl(v207.filename()))}));
        writeFile(served(v207.filename()), nvx::demo::firmwareImage(1, 207));

        VersionModel model;
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshValues(&model);
        waitForRows(model, 1);
        QCOMPARE(descriptions(model), QStringList{QStringLiteral("version 1.207")});
        QCOMPARE(readFile(local(v207.filename())), nvx::demo::firmwareImage(1, 207));
        QCOMPARE(server->requestCount(slowPath), 1);
        QCOMPARE(server->requestCount(QStringLiteral("/731/") + v207.filename()), 1);
    }

    void fileDeletedByALaterEntryIsNoLongerListed()
    {
        // Two entries name one file; the second's digest does not match, so
        // the file goes, and the row the first entry listed must go with it.
        QJsonObject first = entryFor(v207, serverUrl(v207.filename()));
        QJsonObject second = entryFor(v208, serverUrl(v207.filename()));
        second[QStringLiteral("filename")] = v207.filename();
        second[QStringLiteral("sha256")] = QString(64, QLatin1Char('0'));
        writeFile(local(kCatalogue), catalogueOf({first, second}));
        writeFile(local(v207.filename()), nvx::demo::firmwareImage(1, 207));

        VersionModel model;
        QAbstractItemModelTester tester(&model);
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshLocalValues(&model);
        QVERIFY(!QFileInfo::exists(local(v207.filename())));
        QCOMPARE(model.rowCount(), 0);
    }

    void localRefreshOnFirstStartInstallsBuiltIns()
    {
        VersionModel model;
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshLocalValues(&model);
        for (const QString &name : {kCatalogue, kPassword, kBuiltInImage})
            QCOMPARE(readFile(local(name)), readFile(QStringLiteral(":/firmware/") + name));
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(server->requestLog().isEmpty());
    }

    void printValuesLogsTheFileName()
    {
        MessageLog log;
        VersionModel model;
        model.addVersion(v126.filename(), v126.number(), v126.date(), v126.description(), QString(), QString());
        VersionComboBoxManagement catalogue(closedPortBase());
        QVERIFY(catalogue.printValues(&model, model.index(0)));
        QCOMPARE(log.count(QtDebugMsg, v126.filename()), 1);
    }

    void defaultServerIsTheBuildTimeHost()
    {
        const QUrl base = VersionComboBoxManagement::defaultServerBase();
        QCOMPARE(base.scheme(), QStringLiteral("http"));
        QVERIFY(!base.host().isEmpty());
        QCOMPARE(base.path(), QStringLiteral("/731"));
    }
};

QTEST_GUILESS_MAIN(VersionCatalogueTest)
#include "tst_versioncatalogue.moc"
