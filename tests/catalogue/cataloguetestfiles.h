#pragma once

// Files and catalogue entries the catalogue tests build their stores from.

#include "demofirmware.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

namespace cataloguetest {

const QString kCatalogue = QStringLiteral("731Versions.json");
const QString kPassword = QStringLiteral("731-0-00-2019-01-01-1200.txt");

const nvx::demo::DemoVersion v126{1, 126, QDateTime(QDate(2021, 1, 22), QTime(16, 28), Qt::UTC)};
const nvx::demo::DemoVersion v207{1, 207, QDateTime(QDate(2022, 1, 6), QTime(13, 44), Qt::UTC)};
const nvx::demo::DemoVersion v208{1, 208, QDateTime(QDate(2022, 1, 7), QTime(13, 53), Qt::UTC)};

inline void writeFile(const QString &name, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(name).absolutePath());
    QFile f(name);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(name));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

inline QByteArray readFile(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

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
    QStringList out;
    for (int row = 0; row < model.rowCount(); ++row)
        out.append(model.myData(row, 3).toString());
    return out;
}

// Waits until the catalogue's refresh has settled.
inline void waitIdle(VersionComboBoxManagement &catalogue, int timeoutMs = 60000)
{
    if (!catalogue.isRefreshing())
        return;
    QSignalSpy settled(&catalogue, &VersionComboBoxManagement::refreshSettled);
    QVERIFY(settled.wait(timeoutMs));
}

} // namespace cataloguetest
