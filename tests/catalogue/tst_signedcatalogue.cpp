#include "cataloguetrust.h"
#include "cataloguetestfiles.h"
#include "childenvironment.h"
#include "demofirmware.h"
#include "httpfileserver.h"
#include "messagelog.h"
#include "scramblekey.h"
#include "signingkey.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"

#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using nvx::demo::DemoVersion;
using namespace cataloguetest;
using nvxtest::MessageLog;

namespace {

constexpr int kWaitMs = 10000;

const QString kSignature = QStringLiteral("731Versions.json.sig");


QByteArray image(const DemoVersion &v)
{
    return bsl::scrambleText(nvx::demo::firmwareImage(v.major, v.minor));
}

// An entry with a "sha256" member for the bytes digestOf (none when empty).
QJsonObject entryFor(const DemoVersion &v, const QString &url, const QByteArray &digestOf)
{
    QJsonObject entry = cataloguetest::entryFor(v, url);
    if (!digestOf.isEmpty())
        entry.insert(QStringLiteral("sha256"), catalogue::sha256Hex(digestOf));
    return entry;
}

QByteArray signatureFile(const SigningKey &key, const QByteArray &data)
{
    return catalogue::signatureFileText(key.sign(data));
}

QUrl closedPortBase()
{
    return QUrl(nvxtest::closedLocalUrl());
}

} // namespace

class SignedCatalogueTest : public QObject, CatalogueBench
{
    Q_OBJECT

private:
    SigningKey devKey;

    static QString path(const QString &name) { return QStringLiteral("/731/") + name; }

    // A catalogue of the test server trusting key (none when empty), refreshed once and settled.
    std::unique_ptr<VersionComboBoxManagement> refreshed(VersionModel &model, const QByteArray &key,
                                                         QList<CatalogueRefresh::Stage> *stages = nullptr) const
    {
        auto catalogue = std::make_unique<VersionComboBoxManagement>(serverBase());
        catalogue->setPublicKey(key);
        if (stages)
            QObject::connect(catalogue.get(), &VersionComboBoxManagement::refreshStageEntered, [stages](auto s) { *stages << s; });
        catalogue->refreshValues(&model);
        waitIdle(*catalogue);
        return catalogue;
    }

    QStringList incomingFiles() const
    {
        return QDir(local(QStringLiteral("incoming"))).entryList(QDir::Files | QDir::Hidden);
    }

private slots:
    void initTestCase()
    {
        QString error;
        devKey = SigningKey::fromFile(QStringLiteral(DEV_KEY_FILE), &error);
        QVERIFY2(devKey.isValid(), qPrintable(error));
    }

    void init()
    {
        startBench();
        // An empty signed catalogue stands in for the built-in one, whose
        // entries would compete with the served ones for the same files.
        const QByteArray empty = catalogueOf({});
        writeFile(local(kCatalogue), empty);
        writeFile(local(kSignature), signatureFile(devKey, empty));
    }

    void cleanup() { stopBench(); }

    void signedCatalogueIsListedAndKeptWithItsSignature()
    {
        const QByteArray json = catalogueOf({entryFor(v207, serverUrl(v207.filename()), image(v207)),
                                             entryFor(v208, serverUrl(v208.filename()), image(v208))});
        const QByteArray signature = signatureFile(devKey, json);
        writeFile(served(kCatalogue), json);
        writeFile(served(kSignature), signature);
        for (const DemoVersion &v : {v207, v208})
            writeFile(served(v.filename()), image(v));

        MessageLog log;
        VersionModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        const auto catalogue = refreshed(model, devKey.publicKey());

        QCOMPARE(descriptions(model), (QStringList{QStringLiteral("version 1.208"), QStringLiteral("version 1.207")}));
        QCOMPARE(readFile(local(kCatalogue)), json);
        QCOMPARE(readFile(local(kSignature)), signature);
        QCOMPARE(readFile(local(v208.filename())), image(v208));
        QCOMPARE(incomingFiles(), QStringList());
        QCOMPARE(server->requestCount(path(kSignature)), 1);
        QCOMPARE(log.countStartingWith(QtWarningMsg, QStringLiteral("Remote version file discarded")), 0);

        // The stored pair is read again on the next start without the server.
        VersionModel again;
        VersionComboBoxManagement offline(closedPortBase());
        offline.setPublicKey(devKey.publicKey());
        offline.refreshValues(&again);
        QCOMPARE(again.rowCount(), 2);
        waitIdle(offline);
    }

    void rejectedCatalogueLeavesTheLocalCopyInUse_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("changed after signing") << "changed" << "signature does not match";
        QTest::newRow("signed by another key") << "other key" << "signature does not match";
        QTest::newRow("signature of the local catalogue") << "replayed" << "signature does not match";
        QTest::newRow("signature missing") << "missing" << "signature could not be downloaded";
        QTest::newRow("signature not base64") << "garbage" << "malformed signature";
        QTest::newRow("signature one byte short") << "short" << "malformed signature";
        QTest::newRow("signature file empty") << "empty" << "empty signature";
    }

    void rejectedCatalogueLeavesTheLocalCopyInUse()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);

        const QByteArray localJson = catalogueOf({entryFor(v207, serverUrl(v207.filename()), image(v207))});
        const QByteArray localSignature = signatureFile(devKey, localJson);
        writeFile(local(kCatalogue), localJson);
        writeFile(local(kSignature), localSignature);
        writeFile(local(v207.filename()), image(v207));

        const QByteArray remoteJson = catalogueOf({entryFor(v208, serverUrl(v208.filename()), image(v208)),
                                                   entryFor(v207, serverUrl(v207.filename()), image(v207))});
        QByteArray servedJson = remoteJson;
        QByteArray signature = signatureFile(devKey, remoteJson);
        if (fault == QLatin1String("changed"))
            servedJson.replace("version 1.208", "version 9.999");
        else if (fault == QLatin1String("other key"))
            signature = signatureFile(SigningKey::generate(), remoteJson);
        else if (fault == QLatin1String("replayed"))
            signature = localSignature;
        else if (fault == QLatin1String("garbage"))
            signature = "this is not a signature\n";
        else if (fault == QLatin1String("short"))
            signature = devKey.sign(remoteJson).left(catalogue::kSignatureBytes - 1).toBase64() + '\n';
        else if (fault == QLatin1String("empty"))
            signature = "\n";
        writeFile(served(kCatalogue), servedJson);
        if (fault != QLatin1String("missing"))
            writeFile(served(kSignature), signature);
        writeFile(served(v208.filename()), image(v208));

        MessageLog log;
        VersionModel model;
        const auto catalogue = refreshed(model, devKey.publicKey());

        QCOMPARE(log.count(QtWarningMsg, QStringLiteral("Remote version file discarded, ") + reason
                                             + QStringLiteral("; the local version file stays in use.")),
                 1);
        QCOMPARE(readFile(local(kCatalogue)), localJson);
        QCOMPARE(readFile(local(kSignature)), localSignature);
        QCOMPARE(descriptions(model), QStringList{QStringLiteral("version 1.207")});
        QCOMPARE(server->requestCount(path(v208.filename())), 0);
        QVERIFY(!QFile::exists(local(v208.filename())));
        QCOMPARE(incomingFiles(), QStringList());
    }

    void localCatalogueIsReadOnlyWhenTrusted_data()
    {
        QTest::addColumn<QString>("local");
        QTest::addColumn<bool>("listed");
        QTest::newRow("built-in copy") << "built-in" << true;
        QTest::newRow("signed copy") << "signed" << true;
        QTest::newRow("copy without signature") << "unsigned" << false;
        QTest::newRow("copy edited after signing") << "edited" << false;
    }

    void localCatalogueIsReadOnlyWhenTrusted()
    {
        QFETCH(QString, local);
        QFETCH(bool, listed);

        // v126 is among the built-in catalogue's versions.
        writeFile(this->local(v126.filename()), image(v126));
        QFile::remove(this->local(kCatalogue));
        QFile::remove(this->local(kSignature));
        if (local != QLatin1String("built-in")) {
            const QByteArray json = catalogueOf({entryFor(v126, serverUrl(v126.filename()), image(v126))});
            QByteArray stored = json;
            if (local == QLatin1String("edited"))
                stored.replace("version 1.126", "version 1.999");
            writeFile(this->local(kCatalogue), stored);
            if (local != QLatin1String("unsigned"))
                writeFile(this->local(kSignature), signatureFile(devKey, json));
        }

        MessageLog log;
        VersionModel model;
        VersionComboBoxManagement catalogue(closedPortBase());
        catalogue.setPublicKey(devKey.publicKey());
        catalogue.refreshValues(&model);
        waitIdle(catalogue);

        QCOMPARE(model.rowCount(), listed ? 1 : 0);
        QCOMPARE(log.countStartingWith(QtWarningMsg,
                                       QStringLiteral("processMetadataFile. Local version file not trusted")),
                 listed ? 0 : 2); // the local pass and the pass after the failed download
    }

    void signedEntriesWithoutSha256AreNotDownloaded()
    {
        const QByteArray json = catalogueOf({entryFor(v207, serverUrl(v207.filename())),
                                             entryFor(v208, serverUrl(v208.filename()), image(v208))});
        writeFile(served(kCatalogue), json);
        writeFile(served(kSignature), signatureFile(devKey, json));
        for (const DemoVersion &v : {v207, v208})
            writeFile(served(v.filename()), image(v));

        MessageLog log;
        VersionModel model;
        const auto catalogue = refreshed(model, devKey.publicKey());

        QCOMPARE(descriptions(model), QStringList{QStringLiteral("version 1.208")});
        QCOMPARE(server->requestCount(path(v207.filename())), 0);
        QVERIFY(log.countStartingWith(QtDebugMsg, QStringLiteral("processMetadataFile. Not downloading version ")
                                                      + v207.number())
                >= 1);
    }

    void withoutKeyAnUnsignedCatalogueIsUsedAndNoSignatureRequested()
    {
        const QByteArray json = catalogueOf({entryFor(v207, serverUrl(v207.filename())),
                                             entryFor(v208, serverUrl(v208.filename()), image(v208))});
        writeFile(served(kCatalogue), json);
        for (const DemoVersion &v : {v207, v208})
            writeFile(served(v.filename()), image(v));

        VersionModel model;
        const auto catalogue = refreshed(model, QByteArray());

        QCOMPARE(descriptions(model), (QStringList{QStringLiteral("version 1.208"), QStringLiteral("version 1.207")}));
        QCOMPARE(readFile(local(kCatalogue)), json);
        QCOMPARE(server->requestCount(path(kSignature)), 0);
        QCOMPARE(incomingFiles(), QStringList());
    }

    void badFirmwareDownloadIsDeletedAndRequestedAgain_data()
    {
        QTest::addColumn<bool>("keyed");
        QTest::addColumn<QByteArray>("servedBytes");
        QTest::addColumn<bool>("giveDigest");
        QTest::addColumn<QString>("warning");

        const QByteArray good = image(v208);
        const QByteArray other = image(v207);
        const QByteArray truncated = good.left(good.size() / 2);
        const QByteArray html = "<html><body>502 Bad Gateway</body></html>\n";
        const QString digest = QStringLiteral("Firmware file deleted, its sha256 differs");
        const QString check = QStringLiteral("Firmware file deleted, it failed the firmware check");
        QTest::newRow("digest differs") << false << other << true << digest;
        QTest::newRow("digest differs, signed") << true << other << true << digest;
        QTest::newRow("cut short, right digest") << false << truncated << true << check;
        QTest::newRow("error page, no digest") << false << html << false << check;
        QTest::newRow("cut short, no digest") << false << truncated << false << check;
        QTest::newRow("plain text, no digest") << false << nvx::demo::firmwareImage(1, 208) << false << QString();
        QTest::newRow("good, signed") << true << good << true << QString();
    }

    void badFirmwareDownloadIsDeletedAndRequestedAgain()
    {
        QFETCH(bool, keyed);
        QFETCH(QByteArray, servedBytes);
        QFETCH(bool, giveDigest);
        QFETCH(QString, warning);

        // The digest is of what the maker published; a short file has the digest of itself.
        const QByteArray published = servedBytes.size() < image(v208).size() && giveDigest ? servedBytes : image(v208);
        const QByteArray json = catalogueOf({entryFor(v208, serverUrl(v208.filename()), giveDigest ? published : QByteArray()),
                                             entryFor(v207, serverUrl(v207.filename()), image(v207))});
        writeFile(served(kCatalogue), json);
        writeFile(served(kSignature), signatureFile(devKey, json));
        writeFile(served(v208.filename()), servedBytes);
        writeFile(served(v207.filename()), image(v207));

        MessageLog log;
        VersionModel model;
        const auto catalogue = refreshed(model, keyed ? devKey.publicKey() : QByteArray());

        const bool bad = !warning.isEmpty();
        QCOMPARE(model.rowCount(), bad ? 1 : 2);
        QCOMPARE(model.myData(model.rowCount() - 1, 3).toString(), QStringLiteral("version 1.207"));
        QCOMPARE(QFile::exists(local(v208.filename())), !bad);
        QCOMPARE(log.countStartingWith(QtWarningMsg, warning.isEmpty() ? QStringLiteral("Firmware file deleted")
                                                                       : warning),
                 bad ? 1 : 0);

        const int requests = server->requestCount(path(v208.filename()));
        catalogue->refreshValues(&model);
        waitIdle(*catalogue);
        QCOMPARE(server->requestCount(path(v208.filename())) > requests, bad);
        QCOMPARE(model.rowCount(), bad ? 1 : 2);
    }

    void storedFileWhoseDigestDiffersIsReplaced()
    {
        const QByteArray json = catalogueOf({entryFor(v208, serverUrl(v208.filename()), image(v208))});
        writeFile(local(kCatalogue), json);
        writeFile(local(v208.filename()), image(v207)); // valid firmware, but not what the catalogue lists
        writeFile(served(v208.filename()), image(v208));

        MessageLog log;
        VersionModel model;
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        VersionComboBoxManagement catalogue(serverBase());
        catalogue.setPublicKey(QByteArray());
        catalogue.refreshValues(&model);
        QCOMPARE(model.rowCount(), 0);
        waitIdle(catalogue);

        QCOMPARE(descriptions(model), QStringList{QStringLiteral("version 1.208")});
        QCOMPARE(readFile(local(v208.filename())), image(v208));
        QCOMPARE(log.countStartingWith(QtWarningMsg, QStringLiteral("Firmware file deleted, its sha256 differs")), 1);
    }

    // The working password file is replaced only by one the workflow can use
    // and, in signed mode, only by the one the catalogue vouches for.
    void passwordFileIsCheckedBeforeItReplacesTheWorkingOne_data()
    {
        QTest::addColumn<bool>("keyed");
        QTest::addColumn<QByteArray>("servedBytes");
        QTest::addColumn<QString>("digestOf"); // "served", "other" or "" for no passwordSha256
        QTest::addColumn<bool>("installed");

        const QByteArray demo = nvx::demo::passwordFile();
        const int second = demo.indexOf("q\r\n") + 3;
        const QByteArray swapped = demo.mid(second) + demo.left(second); // valid, and not the working file
        QTest::newRow("error page") << false << QByteArray("<html><body>502 Bad Gateway</body></html>\n") << ""
                                    << false;
        QTest::newRow("empty body") << false << QByteArray() << "" << false;
        QTest::newRow("record cut short") << false << swapped.left(swapped.size() - 10) << "" << false;
        QTest::newRow("scrambled, unsigned") << false << bsl::scrambleText(swapped) << "" << true;
        QTest::newRow("signed digest matches") << true << swapped << "served" << true;
        QTest::newRow("signed digest differs") << true << swapped << "other" << false;
        QTest::newRow("signed catalogue without digest") << true << swapped << "" << true;
    }

    void passwordFileIsCheckedBeforeItReplacesTheWorkingOne()
    {
        QFETCH(bool, keyed);
        QFETCH(QByteArray, servedBytes);
        QFETCH(QString, digestOf);
        QFETCH(bool, installed);

        const QByteArray working = nvx::demo::passwordFile();
        writeFile(local(kPassword), working);
        writeFile(served(kPassword), servedBytes);
        QJsonObject root{{QStringLiteral("versions"), QJsonArray()}};
        if (!digestOf.isEmpty()) {
            root.insert(QStringLiteral("passwordSha256"),
                        catalogue::sha256Hex(digestOf == QLatin1String("served") ? servedBytes : working));
        }
        const QByteArray json = QJsonDocument(root).toJson();
        writeFile(served(kCatalogue), json);
        writeFile(served(kSignature), signatureFile(devKey, json));

        MessageLog log;
        VersionModel model;
        QList<CatalogueRefresh::Stage> stages;
        const auto catalogue = refreshed(model, keyed ? devKey.publicKey() : QByteArray(), &stages);

        // Keyed, the password file waits for the checked catalogue; without a key it comes alongside.
        using S = CatalogueRefresh::Stage;
        QList<S> order{S::WaitingForLock, S::Catalogue, S::Signature, S::Password, S::Firmware, S::Settled};
        if (!keyed)
            order.removeAll(S::Signature);
        QCOMPARE(stages, order);
        const QStringList requests = server->requestLog();
        QVERIFY(!keyed || requests.indexOf("GET " + path(kPassword)) > requests.indexOf("GET " + path(kSignature)));
        QCOMPARE(readFile(local(kPassword)), installed ? servedBytes : working);
        QCOMPARE(log.countStartingWith(QtWarningMsg, QStringLiteral("Remote password file discarded, ")),
                 installed ? 0 : 1);
        QCOMPARE(server->requestCount(path(kPassword)), 1);
    }

    // A validly signed catalogue older than the installed one is a replay;
    // catalogues signed before they carried a time are taken only while the
    // installed one has none. Versions are ordered by value, and an entry
    // whose number does not parse is never listed.
    void replayedCatalogueIsRefusedAndVersionsCompareAsNumbers_data()
    {
        QTest::addColumn<QString>("installedTime");
        QTest::addColumn<QString>("servedTime");
        QTest::addColumn<bool>("accepted");
        const QString january = QStringLiteral("2024-01-15T08:00:00Z");
        const QString february = QStringLiteral("2024-02-15T08:00:00Z");
        QTest::newRow("newer replaces older") << january << february << true;
        QTest::newRow("older is a replay") << february << january << false;
        QTest::newRow("same time") << february << february << true;
        QTest::newRow("untimed after a timed one") << february << QString() << false;
        QTest::newRow("untimed over untimed") << QString() << QString() << true;
        QTest::newRow("timed over untimed") << QString() << january << true;
        // One clock or the other is wrong; installed, it would refuse every correct catalogue after it.
        QTest::newRow("years ahead of this clock")
            << january << QDateTime::currentDateTimeUtc().addYears(3).toString(Qt::ISODate) << false;
        // The store remembers what it accepted, also once a damaged catalogue gave way to the built-in one.
        QTest::newRow("older, after going back to the built-in one") << "damaged " + february << january << false;
    }

    void replayedCatalogueIsRefusedAndVersionsCompareAsNumbers()
    {
        QFETCH(QString, installedTime);
        QFETCH(QString, servedTime);
        QFETCH(bool, accepted);

        auto signedCatalogue = [](const QJsonArray &versions, const QString &published) {
            QJsonObject root{{QStringLiteral("versions"), versions}};
            if (!published.isEmpty())
                root.insert(QStringLiteral("published"), published);
            return QJsonDocument(root).toJson();
        };
        const bool damaged = installedTime.startsWith(QLatin1String("damaged "));
        const QByteArray installedJson = signedCatalogue({entryFor(v207, serverUrl(v207.filename()), image(v207))},
                                                         installedTime.mid(damaged ? 8 : 0));
        writeFile(local(kCatalogue), installedJson);
        writeFile(local(kSignature), signatureFile(devKey, installedJson));
        if (damaged) {
            VersionModel before;
            refreshed(before, devKey.publicKey()).reset(); // the store learns the time, as any start does
            writeFile(local(kCatalogue), installedJson.left(20));
            QFile::remove(local(QStringLiteral("731Versions.kept")));
        }
        writeFile(local(v207.filename()), image(v207));
        writeFile(local(v126.filename()), image(v126));

        // "zzz" would sort above every number as text; here it is never listed.
        QJsonObject unparsable = entryFor(v126, serverUrl(v126.filename()), image(v126));
        unparsable[QStringLiteral("number")] = QStringLiteral("zzz");
        const QByteArray servedJson = signedCatalogue({unparsable, entryFor(v207, serverUrl(v207.filename()), image(v207)),
                                                       entryFor(v208, serverUrl(v208.filename()), image(v208))},
                                                      servedTime);
        writeFile(served(kCatalogue), servedJson);
        writeFile(served(kSignature), signatureFile(devKey, servedJson));
        writeFile(served(v208.filename()), image(v208));

        MessageLog log;
        VersionModel model;
        const auto catalogue = refreshed(model, devKey.publicKey());

        QCOMPARE(readFile(local(kCatalogue)), accepted ? servedJson : damaged ? readFile(QStringLiteral(":/firmware/") + kCatalogue) : installedJson);
        QCOMPARE(catalogue->catalogueOutcome(), accepted ? VersionComboBoxManagement::CatalogueOutcome::Installed
                                                        : VersionComboBoxManagement::CatalogueOutcome::Refused);
        QCOMPARE(descriptions(model), accepted  ? (QStringList{QStringLiteral("version 1.208"), QStringLiteral("version 1.207")})
                                      : damaged ? (QStringList{QStringLiteral("version 1.207"), QStringLiteral("version 1.126")})
                                                : QStringList{QStringLiteral("version 1.207")});
        QCOMPARE(log.countStartingWith(QtWarningMsg, QStringLiteral("Remote version file discarded, ")),
                 accepted ? 0 : 1);
        QCOMPARE(log.countStartingWith(QtWarningMsg, QStringLiteral("processMetadataFile. Skipping version \"zzz\"")),
                 accepted ? 1 : 0);
    }

    void malformedDigestSkipsTheEntry()
    {
        QJsonObject entry = entryFor(v208, serverUrl(v208.filename()));
        entry.insert(QStringLiteral("sha256"), QStringLiteral("abc"));
        writeFile(local(kCatalogue), catalogueOf({entry}));
        writeFile(local(v208.filename()), image(v208));

        MessageLog log;
        VersionModel model;
        VersionComboBoxManagement catalogue(closedPortBase());
        catalogue.setPublicKey(QByteArray());
        catalogue.refreshValues(&model);
        waitIdle(catalogue);
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(log.countStartingWith(QtWarningMsg, QStringLiteral("processMetadataFile. Skipping version")) >= 1);
    }
};

QTEST_GUILESS_MAIN(SignedCatalogueTest)
#include "tst_signedcatalogue.moc"
