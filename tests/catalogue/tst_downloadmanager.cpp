#include "downloadmanager.h"
#include "httpfileserver.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kWaitMs = 10000;  // a transfer on 127.0.0.1 ends well within this
constexpr int kQuietMs = 300;   // how long "no further signal" is watched for

using nvxtest::readFile;
using nvxtest::writeFile;

} // namespace

class DownloadManagerTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir serverRoot;
    QTemporaryDir *target = nullptr;
    nvx::HttpFileServer *server = nullptr;
    QByteArray body;

    QString targetFile(const QString &name) const { return target->filePath(name); }

    QUrl urlFor(const QString &path) const
    {
        QUrl url = server->baseUrl();
        url.setPath(path);
        return url;
    }

    void prepare(DownloadManager &manager, const QString &path)
    {
        manager.setDownloadPath(target->path());
        manager.setUrl(urlFor(path));
    }

private slots:
    void initTestCase()
    {
        body = QByteArray("@1100\r\n31 40 00 0A\r\nq\r\n").repeated(200);
        QDir(serverRoot.path()).mkpath(QStringLiteral("731"));
        writeFile(serverRoot.filePath(QStringLiteral("731/fw.txt")), body);
        writeFile(serverRoot.filePath(QStringLiteral("731/other.txt")), QByteArray("other\n"));
        server = new nvx::HttpFileServer(serverRoot.path(), this);
        QVERIFY(server->listen());
    }

    void init()
    {
        target = new QTemporaryDir;
        server->clearRules();
    }

    void cleanup()
    {
        delete target;
        target = nullptr;
    }

    void successReplacesFinalFileAndLeavesNoTemporary()
    {
        writeFile(targetFile(QStringLiteral("fw.txt")), "previous");
        DownloadManager manager;
        prepare(manager, QStringLiteral("/731/fw.txt"));
        QSignalSpy finished(&manager, &DownloadManager::finished);
        manager.downloadFile();
        QVERIFY(finished.wait(kWaitMs));

        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        QCOMPARE(finished.at(0).at(1).toUrl(), urlFor(QStringLiteral("/731/fw.txt")));
        QCOMPARE(readFile(targetFile(QStringLiteral("fw.txt"))), body);
        QVERIFY(!QFile::exists(targetFile(QStringLiteral("fw.txt.new"))));
        QVERIFY(!manager.isActive());
    }

    void failuresLeaveTheEarlierFileUntouched_data()
    {
        QTest::addColumn<int>("rule");
        QTest::newRow("404 missing file") << 0;
        QTest::newRow("404 answered for existing file") << 1;
        QTest::newRow("500") << 2;
        QTest::newRow("dropped mid-body") << 3;
        QTest::newRow("dropped before answer") << 4;
        QTest::newRow("redirect loop") << 5;
    }

    void failuresLeaveTheEarlierFileUntouched()
    {
        QFETCH(int, rule);
        QString path = QStringLiteral("/731/fw.txt");
        switch (rule) {
        case 0: path = QStringLiteral("/731/absent.txt"); break;
        case 1: server->setStatus(path, 404); break;
        case 2: server->setStatus(path, 500); break;
        case 3: server->setDropConnection(path, 100); break;
        case 4: server->setDropConnection(path, -1); break;
        case 5: server->setRedirect(path, QStringLiteral("fw.txt"), 302); break;
        }
        const QString name = DownloadManager::fileNameOf(urlFor(path));
        writeFile(targetFile(name), "earlier");

        DownloadManager manager;
        prepare(manager, path);
        QSignalSpy finished(&manager, &DownloadManager::finished);
        manager.downloadFile();
        QVERIFY(finished.wait(kWaitMs));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), -2);
        QCOMPARE(readFile(targetFile(name)), QByteArray("earlier"));
        QVERIFY(!QFile::exists(targetFile(name + QStringLiteral(".new"))));
    }

    void relativeRedirectIsFollowedAndReported_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("location");
        QTest::newRow("301 sibling") << 301 << QStringLiteral("other.txt");
        QTest::newRow("302 absolute path") << 302 << QStringLiteral("/731/other.txt");
        QTest::newRow("302 parent-relative") << 302 << QStringLiteral("../731/other.txt");
    }

    void relativeRedirectIsFollowedAndReported()
    {
        QFETCH(int, code);
        QFETCH(QString, location);
        server->setRedirect(QStringLiteral("/731/moved.txt"), location, code);

        const int earlierRequests = server->requestCount(QStringLiteral("/731/other.txt"));
        DownloadManager manager;
        prepare(manager, QStringLiteral("/731/moved.txt"));
        QSignalSpy finished(&manager, &DownloadManager::finished);
        manager.downloadFile();
        QVERIFY(finished.wait(kWaitMs));
        QVERIFY(!finished.wait(kQuietMs));

        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        QCOMPARE(finished.at(0).at(1).toUrl(), urlFor(QStringLiteral("/731/other.txt")));
        // Stored under the name asked for, not the redirect target's.
        QCOMPARE(readFile(targetFile(QStringLiteral("moved.txt"))), QByteArray("other\n"));
        QVERIFY(!QFile::exists(targetFile(QStringLiteral("other.txt"))));
        QCOMPARE(server->requestCount(QStringLiteral("/731/other.txt")), earlierRequests + 1);
    }

    void cancelGivesExactlyOneCancelled()
    {
        server->setSlowBody(QStringLiteral("/731/fw.txt"), 64, 20);
        writeFile(targetFile(QStringLiteral("fw.txt")), "earlier");
        DownloadManager manager;
        prepare(manager, QStringLiteral("/731/fw.txt"));
        QSignalSpy finished(&manager, &DownloadManager::finished);
        QSignalSpy requests(server, &nvx::HttpFileServer::requestReceived);
        manager.downloadFile();
        QVERIFY(requests.wait(kWaitMs));
        manager.cancelDownload();
        if (finished.isEmpty())
            QVERIFY(finished.wait(kWaitMs));
        QVERIFY(!finished.wait(kQuietMs));

        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), -1);
        QCOMPARE(readFile(targetFile(QStringLiteral("fw.txt"))), QByteArray("earlier"));
        QVERIFY(!QFile::exists(targetFile(QStringLiteral("fw.txt.new"))));
    }

    void readOnlyFinalFileIsReplaced()
    {
        const QString final = targetFile(QStringLiteral("fw.txt"));
        writeFile(final, "from the resources");
        QVERIFY(QFile::setPermissions(final, QFileDevice::ReadOwner | QFileDevice::ReadGroup));

        DownloadManager manager;
        prepare(manager, QStringLiteral("/731/fw.txt"));
        QSignalSpy finished(&manager, &DownloadManager::finished);
        manager.downloadFile();
        QVERIFY(finished.wait(kWaitMs));
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        QCOMPARE(readFile(final), body);
        QVERIFY(QFileInfo(final).isWritable());
    }

    void leftoverTemporaryBecomesBackupAndRollbackRestoresIt()
    {
        const QString final = targetFile(QStringLiteral("fw.txt"));
        writeFile(final, "current");
        writeFile(final + QStringLiteral(".new"), "left by an interrupted run");
        server->setStatus(QStringLiteral("/731/fw.txt"), 404);

        DownloadManager manager;
        prepare(manager, QStringLiteral("/731/fw.txt"));
        QSignalSpy finished(&manager, &DownloadManager::finished);
        manager.downloadFile();
        QVERIFY(finished.wait(kWaitMs));
        QCOMPARE(finished.at(0).at(0).toInt(), -2);
        QCOMPARE(readFile(final + QStringLiteral(".old")), QByteArray("left by an interrupted run"));
        QCOMPARE(readFile(final), QByteArray("current"));

        manager.rollback();
        QCOMPARE(readFile(final), QByteArray("left by an interrupted run"));
        QVERIFY(!QFile::exists(final + QStringLiteral(".new")));
    }

    void rollbackUndoesASuccessfulDownload()
    {
        const QString final = targetFile(QStringLiteral("fw.txt"));
        writeFile(final, "known good");
        DownloadManager manager;
        prepare(manager, QStringLiteral("/731/fw.txt"));
        QSignalSpy finished(&manager, &DownloadManager::finished);
        manager.rollback(); // nothing to restore yet
        QCOMPARE(readFile(final), QByteArray("known good"));

        manager.downloadFile();
        QVERIFY(finished.wait(kWaitMs));
        QCOMPARE(readFile(final), body);
        manager.rollback();
        QCOMPARE(readFile(final), QByteArray("known good"));
    }

    void unopenableTemporaryFileDoesNotReplaceFinal()
    {
        const QString final = targetFile(QStringLiteral("fw.txt"));
        writeFile(final, "earlier");
        // A folder where the temporary file should go can neither be removed nor opened.
        QVERIFY(QDir(target->path()).mkpath(QStringLiteral("fw.txt.new/inside")));

        DownloadManager manager;
        prepare(manager, QStringLiteral("/731/fw.txt"));
        QSignalSpy finished(&manager, &DownloadManager::finished);
        manager.downloadFile();
        QVERIFY(finished.wait(kWaitMs));
        QCOMPARE(finished.at(0).at(0).toInt(), -2);
        QCOMPARE(readFile(final), QByteArray("earlier"));
    }

    void nothingToFetch_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<int>("expectedSignals");
        QTest::newRow("no url") << QUrl() << 0;
        QTest::newRow("no file name") << QUrl(QStringLiteral("http://127.0.0.1:1/731/")) << 1;
        QTest::newRow("dot-dot") << QUrl(QStringLiteral("http://127.0.0.1:1/731/..")) << 1;
    }

    void nothingToFetch()
    {
        QFETCH(QUrl, url);
        QFETCH(int, expectedSignals);
        DownloadManager manager;
        manager.setDownloadPath(target->path());
        manager.setUrl(url);
        QSignalSpy finished(&manager, &DownloadManager::finished);
        manager.downloadFile();
        finished.wait(kQuietMs);
        QCOMPARE(finished.count(), expectedSignals);
        if (expectedSignals)
            QCOMPARE(finished.at(0).at(0).toInt(), -2);
        QCOMPARE(QDir(target->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void onlyTheTrailingSuffixIsRemoved()
    {
        QVERIFY(QDir(target->path()).mkpath(QStringLiteral("store.new")));
        DownloadManager manager;
        manager.setDownloadPath(target->filePath(QStringLiteral("store.new")));
        manager.setUrl(urlFor(QStringLiteral("/731/fw.txt")));
        QSignalSpy finished(&manager, &DownloadManager::finished);
        manager.downloadFile();
        QVERIFY(finished.wait(kWaitMs));
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        QCOMPARE(readFile(target->filePath(QStringLiteral("store.new/fw.txt"))), body);
        QVERIFY(!QFile::exists(target->filePath(QStringLiteral("store"))));
    }

    void managerCanBeReused()
    {
        DownloadManager manager;
        prepare(manager, QStringLiteral("/731/other.txt"));
        QSignalSpy finished(&manager, &DownloadManager::finished);
        manager.downloadFile();
        QVERIFY(finished.wait(kWaitMs));
        manager.setUrl(urlFor(QStringLiteral("/731/fw.txt")));
        manager.downloadFile();
        QVERIFY(finished.wait(kWaitMs));
        QCOMPARE(finished.count(), 2);
        QCOMPARE(finished.at(1).at(0).toInt(), 0);
        QCOMPARE(readFile(targetFile(QStringLiteral("fw.txt"))), body);
        QCOMPARE(readFile(targetFile(QStringLiteral("other.txt"))), QByteArray("other\n"));
    }

    void destroyedWhileTransferring()
    {
        server->setSlowBody(QStringLiteral("/731/fw.txt"), 16, 50);
        QSignalSpy requests(server, &nvx::HttpFileServer::requestReceived);
        auto *manager = new DownloadManager;
        prepare(*manager, QStringLiteral("/731/fw.txt"));
        manager->downloadFile();
        QVERIFY(requests.wait(kWaitMs));
        delete manager; // must neither crash nor touch freed memory (ASan run)
        QVERIFY(!QFile::exists(targetFile(QStringLiteral("fw.txt"))));
    }
};

QTEST_GUILESS_MAIN(DownloadManagerTest)
#include "tst_downloadmanager.moc"
