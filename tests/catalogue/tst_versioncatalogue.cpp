#include "cataloguetestfiles.h"
#include "demofirmware.h"
#include "downloadmanager.h"
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
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using nvx::demo::DemoVersion;
using namespace cataloguetest;

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

class VersionCatalogueTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *dataHome = nullptr;
    QTemporaryDir *serverRoot = nullptr;
    nvx::HttpFileServer *server = nullptr;
    QString firmwareDir;

    QUrl serverBase() const { return QUrl(server->baseUrl().toString() + QStringLiteral("/731")); }
    QString serverUrl(const QString &name) const { return serverBase().toString() + QLatin1Char('/') + name; }
    QString served(const QString &name) const { return serverRoot->filePath(QStringLiteral("731/") + name); }
    QString local(const QString &name) const { return firmwareDir + QLatin1Char('/') + name; }

    static QUrl closedPortBase()
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost))
            return QUrl();
        const quint16 port = probe.serverPort();
        probe.close();
        return QUrl(QStringLiteral("http://127.0.0.1:%1/731").arg(port));
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("ostrel"));
        QCoreApplication::setApplicationName(QStringLiteral("NVX7300 Toolkit"));
    }

    void init()
    {
        dataHome = new QTemporaryDir;
        serverRoot = new QTemporaryDir;
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome->path()));
        firmwareDir = VersionComboBoxManagement::firmwareDirectory();
        QVERIFY(firmwareDir.startsWith(dataHome->path()));
        server = new nvx::HttpFileServer(serverRoot->path());
        QVERIFY(server->listen());
        writeFile(served(kPassword), nvx::demo::passwordFile());
    }

    void cleanup()
    {
        QDir::setCurrent(QDir::tempPath());
        delete server;
        delete serverRoot;
        delete dataHome;
    }

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

        QJsonObject second = entryFor(v207, QStringLiteral("http://127.0.0.1:1/731/b.txt"));
        second[QStringLiteral("description")] = QStringLiteral("second of the number");
        QTest::newRow("one number twice")
            << catalogueOf({entryFor(v207, QStringLiteral("http://127.0.0.1:1/731/") + v207.filename()), second})
            << QStringList{QStringLiteral("version 1.207")};
        QTest::newRow("no versions") << QByteArray("{\"_comment\": \"nothing yet\"}") << QStringList();
        QTest::newRow("versions not an array") << QByteArray("{\"versions\": 7}") << QStringList();
        QTest::newRow("root is an array") << QByteArray("[1, 2]") << QStringList();

        QJsonObject odd = entryFor(v207, QStringLiteral("http://127.0.0.1:1/731/") + v207.filename());
        odd[QStringLiteral("description")] = 12;
        QTest::newRow("non-string member reads as empty") << catalogueOf({odd}) << QStringList{QString()};
    }

    void catalogueContentCases()
    {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, rows);
        writeFile(local(kCatalogue), json);
        writeFile(local(v207.filename()), nvx::demo::firmwareImage(1, 207));

        MessageLog log;
        VersionModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        VersionComboBoxManagement catalogue(closedPortBase());
        catalogue.refreshValues(&model);
        waitIdle(catalogue);

        QCOMPARE(descriptions(model), rows);
        QCOMPARE(log.count(QtWarningMsg, kParseFailed), 0);
        QCOMPARE(log.count(QtWarningMsg, kVersionDownloadFailed), 1);
        QVERIFY(QFile::exists(local(kBuiltInImage))); // installed once a catalogue was read
    }

    void invalidCatalogueTriedTwiceWithoutChange()
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

        QCOMPARE(log.count(QtWarningMsg, kParseFailed), 3); // the local pass, then two attempts
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

    void redirectedFirmwareListedAfterNextRefresh()
    {
        const QString path = QStringLiteral("/731/") + v126.filename();
        const QByteArray json = catalogueOf({entryFor(v126, serverUrl(v126.filename()))});
        writeFile(local(kCatalogue), json);
        writeFile(served(kCatalogue), json);
        writeFile(served(QStringLiteral("store/") + v126.filename()), nvx::demo::firmwareImage(1, 126));
        server->setRedirect(path, QStringLiteral("store/") + v126.filename(), 302);
        // Slow enough that the fresh catalogue's pass finds the file still missing.
        server->setSlowBody(QStringLiteral("/731/store/") + v126.filename(), 32, 30);

        VersionModel model;
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshValues(&model);
        waitIdle(catalogue);
        QCOMPARE(readFile(local(v126.filename())), nvx::demo::firmwareImage(1, 126));
        QCOMPARE(model.rowCount(), 0);

        catalogue.refreshValues(&model);
        QCOMPARE(descriptions(model), QStringList{QStringLiteral("version 1.126")});
        waitIdle(catalogue);
    }

    void entryWhoseUrlNamesAnotherFileIsRequestedEveryRefresh()
    {
        const QString url = serverUrl(QStringLiteral("renamed.txt"));
        const QByteArray json = catalogueOf({entryFor(v126, url)});
        writeFile(local(kCatalogue), json);
        writeFile(served(kCatalogue), json);
        writeFile(served(QStringLiteral("renamed.txt")), nvx::demo::firmwareImage(1, 126));

        VersionModel model;
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.refreshValues(&model);
        waitIdle(catalogue);
        const int first = server->requestCount(QStringLiteral("/731/renamed.txt"));
        QVERIFY(first >= 1);
        QVERIFY(QFile::exists(local(QStringLiteral("renamed.txt"))));
        QVERIFY(!QFile::exists(local(v126.filename())));
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.myData(0, 6).toString(), local(v126.filename()));

        catalogue.refreshValues(&model);
        waitIdle(catalogue);
        QVERIFY(server->requestCount(QStringLiteral("/731/renamed.txt")) > first);
        QCOMPARE(model.rowCount(), 1);
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
        entries.append(e);
        e = entryFor(v126, base + QStringLiteral("/"));
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
        QVERIFY(catalogue.findChildren<DownloadManager *>().isEmpty());
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
