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
const QString kPasswordName = QStringLiteral("731-0-00-2019-01-01-1200.txt");
}

CatalogueListing refreshCatalogue(const QUrl &serverBase, bool offline, int timeoutMs)
{
    CatalogueListing listing;
    VersionModel model;
    VersionComboBoxManagement catalogue(serverBase);

    if (offline) {
        catalogue.refreshLocalValues(&model);
    } else {
        // Downloads end through the event loop, and a finished catalogue may
        // start more of them, so watch every download manager as it appears.
        QSet<DownloadManager *> watched;
        bool firmwareFailed = false;
        QEventLoop loop;
        auto watchNew = [&] {
            for (DownloadManager *download : catalogue.findChildren<DownloadManager *>()) {
                if (watched.contains(download))
                    continue;
                watched.insert(download);
                QObject::connect(download, &DownloadManager::finished, &loop, [&, download](int status, QUrl) {
                    const QString target = download->targetFileName();
                    if (target.endsWith(QLatin1Char('/') + kCatalogueName)) {
                        listing.catalogueReached = listing.catalogueReached || status == 0;
                    } else if (status != 0 && !target.endsWith(QLatin1Char('/') + kPasswordName)) {
                        firmwareFailed = true;
                    }
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
        auto settle = [&] {
            watchNew();
            while (anyRunning() && clock.elapsed() < timeoutMs) {
                QTimer::singleShot(qMax<qint64>(1, timeoutMs - clock.elapsed()), &loop, &QEventLoop::quit);
                loop.exec();
                watchNew();
            }
        };
        catalogue.refreshValues(&model);
        settle();
        // A file named by both the stored and the fresh catalogue is fetched
        // only once, from the address the stored one gave; when that failed,
        // a second pass (what the window's next start would do) asks the
        // fresh catalogue's address.
        if (firmwareFailed && listing.catalogueReached && clock.elapsed() < timeoutMs) {
            catalogue.refreshValues(&model);
            settle();
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
