#pragma once

// Files and catalogue entries the catalogue tests build their stores from,
// and the bench they refresh against. Link nvx_catalogue, nvxhttp and
// nvx_demofirmware with it.

#include "datahome.h"
#include "demofirmware.h"
#include "httpfileserver.h"
#include "modelcolumn.h"
#include "testfiles.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace cataloguetest {

const QString kCatalogue = QStringLiteral("731Versions.json");
const QString kPassword = QStringLiteral("731-0-00-2019-01-01-1200.txt");

const nvx::demo::DemoVersion v126{1, 126, QDateTime(QDate(2021, 1, 22), QTime(16, 28), Qt::UTC)};
const nvx::demo::DemoVersion v207{1, 207, QDateTime(QDate(2022, 1, 6), QTime(13, 44), Qt::UTC)};
const nvx::demo::DemoVersion v208{1, 208, QDateTime(QDate(2022, 1, 7), QTime(13, 53), Qt::UTC)};

using nvxtest::readFile;
using nvxtest::writeFile;

inline QJsonObject entryFor(const nvx::demo::DemoVersion &v, const QString &url)
{
    return {{QStringLiteral("filename"), v.filename()}, {QStringLiteral("number"), v.number()},
            {QStringLiteral("date"), v.date()},         {QStringLiteral("description"), v.description()},
            {QStringLiteral("url"), url}};
}

inline QByteArray catalogueOf(const QJsonArray &versions)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("versions"), versions}}).toJson();
}

inline QStringList descriptions(const VersionModel &model)
{
    return nvxtest::columnOf(model, 3);
}

// Waits until the catalogue's refresh has settled.
inline void waitIdle(VersionComboBoxManagement &catalogue, int timeoutMs = 60000)
{
    if (!catalogue.isRefreshing())
        return;
    QSignalSpy settled(&catalogue, &VersionComboBoxManagement::refreshSettled);
    QVERIFY(settled.wait(timeoutMs));
}

// A data home of its own and a file server on 127.0.0.1 whose "731" folder
// holds the password file, made for each test; the server also answers as
// the proxy for the archive host that the built-in catalogue names, so no
// request leaves this machine. Addresses on 127.0.0.1 bypass the proxy.
class CatalogueBench
{
protected:
    std::unique_ptr<QTemporaryDir> dataHome;
    std::unique_ptr<QTemporaryDir> serverRoot;
    std::unique_ptr<nvx::HttpFileServer> server;
    QString firmwareDir; // the program's store in dataHome

    void startBench()
    {
        dataHome = std::make_unique<QTemporaryDir>();
        serverRoot = std::make_unique<QTemporaryDir>();
        QVERIFY(dataHome->isValid() && serverRoot->isValid());
        nvxtest::useDataHome(dataHome->path());
        firmwareDir = VersionComboBoxManagement::firmwareDirectory();
        QVERIFY(firmwareDir.startsWith(dataHome->path()));
        server = std::make_unique<nvx::HttpFileServer>(serverRoot->path());
        QVERIFY(server->listen());
        writeFile(served(kPassword), nvx::demo::passwordFile());
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), server->port()));
    }

    void stopBench()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QDir::setCurrent(QDir::tempPath()); // a refresh moves into the store
        server.reset();
        serverRoot.reset();
        dataHome.reset();
    }

    QUrl serverBase() const { return QUrl(server->baseUrl().toString() + QStringLiteral("/731")); }
    QString serverUrl(const QString &name) const { return serverBase().toString() + QLatin1Char('/') + name; }
    QString served(const QString &name) const { return serverRoot->filePath(QStringLiteral("731/") + name); }
    QString local(const QString &name) const { return firmwareDir + QLatin1Char('/') + name; }
};

} // namespace cataloguetest
