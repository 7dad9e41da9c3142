#include "cataloguesession.h"

#include "downloadmanager.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSet>
#include <QTimer>

namespace nvxctl {

namespace {
const QString kCatalogueName = QStringLiteral("731Versions.json");
}

CatalogueListing refreshCatalogue(const QUrl &serverBase, bool offline, int timeoutMs)
{
    CatalogueListing listing;
    VersionModel model;
    VersionComboBoxManagement catalogue(serverBase);

    if (offline) {
        catalogue.refreshLocalValues(&model);
    } else {
        catalogue.refreshValues(&model);

        // Downloads end through the event loop, and a finished catalogue may
        // start more of them, so watch every download manager as it appears.
        QSet<DownloadManager *> watched;
        QEventLoop loop;
        auto watchNew = [&] {
            for (DownloadManager *download : catalogue.findChildren<DownloadManager *>()) {
                if (watched.contains(download))
                    continue;
                watched.insert(download);
                QObject::connect(download, &DownloadManager::finished, &loop, [&, download](int status, QUrl) {
                    if (status == 0 && download->targetFileName().endsWith(QLatin1Char('/') + kCatalogueName))
                        listing.catalogueReached = true;
                    loop.quit();
                });
            }
        };
        auto anyRunning = [&] {
            for (DownloadManager *download : catalogue.findChildren<DownloadManager *>()) {
                if (download->isActive())
                    return true;
            }
            return false;
        };
        QElapsedTimer clock;
        clock.start();
        watchNew();
        while (anyRunning() && clock.elapsed() < timeoutMs) {
            QTimer::singleShot(qMax<qint64>(1, timeoutMs - clock.elapsed()), &loop, &QEventLoop::quit);
            loop.exec();
            watchNew();
        }
    }

    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex index = model.index(row);
        VersionEntry entry;
        entry.filename = model.data(index, VersionModel::FilenameRole).toString();
        entry.number = model.data(index, VersionModel::NumberRole).toString();
        entry.date = model.data(index, VersionModel::DateRole).toString();
        entry.description = model.data(index, VersionModel::DescriptionRole).toString();
        entry.path = model.data(index, VersionModel::PathRole).toString();
        entry.url = model.data(index, VersionModel::UrlRole).toString();
        listing.versions.append(entry);
    }
    return listing;
}

VersionEntry findVersion(const QList<VersionEntry> &versions, const QString &wanted)
{
    for (const VersionEntry &entry : versions) {
        if (entry.number == wanted || entry.description == QStringLiteral("version ") + wanted)
            return entry;
    }
    return VersionEntry();
}

} // namespace nvxctl
