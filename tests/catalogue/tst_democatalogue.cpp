#include "childenvironment.h"
#include "datahome.h"
#include "demofirmware.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// The demo set and the server program together, as the demo run uses them.
// Linked without the built-in resources, so the firmware folder must be made
// for the downloads even though no built-in file is copied into it.
class DemoCatalogueTest : public QObject
{
    Q_OBJECT

private slots:
    void demoServerOffersItsThreeVersions()
    {
        QTemporaryDir dataHome;
        QTemporaryDir root;
        nvxtest::useDataHome(dataHome.path());

        QProcess server;
        server.setProcessEnvironment(nvxtest::childEnvironment());
        server.start(QStringLiteral(SERVER_PROGRAM), {QStringLiteral("--root"), root.path(), QStringLiteral("--quiet")});
        QVERIFY(server.waitForStarted());
        const auto stopServer = qScopeGuard([&server] {
            server.kill();
            server.waitForFinished();
        });
        while (!server.canReadLine())
            QVERIFY(server.waitForReadyRead(10000));
        const QString base = QString::fromUtf8(server.readLine()).trimmed();
        QVERIFY2(base.startsWith(QStringLiteral("http://127.0.0.1:")), qPrintable(base));

        // Made after the server is up: the urls carry its port.
        QCOMPARE(nvxtest::runChild(QStringLiteral(MAKE_DEMO_PROGRAM), {root.path(), base}), 0);
        QVERIFY(nvxtest::runChild(QStringLiteral(MAKE_DEMO_PROGRAM), {root.path()}) != 0);

        VersionModel model;
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        VersionComboBoxManagement catalogue(QUrl(base + QStringLiteral("/731")));
        catalogue.refreshValues(&model);
        while (model.rowCount() < 3)
            QVERIFY(inserted.wait(10000));

        const auto versions = nvx::demo::demoVersions();
        QCOMPARE(model.myData(0, 1).toString(), versions.last().number());
        QCOMPARE(model.myData(2, 1).toString(), versions.first().number());
        QFile image(model.myData(0, 6).toString());
        QVERIFY(image.open(QIODevice::ReadOnly));
        QCOMPARE(image.readAll(), nvx::demo::firmwareImage(versions.last().major, versions.last().minor));
    }
};

QTEST_GUILESS_MAIN(DemoCatalogueTest)
#include "tst_democatalogue.moc"
