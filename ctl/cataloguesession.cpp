#include "cataloguesession.h"

#include "versioncomboboxmanagement.h"
#include "versionmodel.h"
#include "versionnumber.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace nvxctl {

CatalogueListing refreshCatalogue(const QUrl &serverBase, bool offline, int timeoutMs)
{
    CatalogueListing listing;
    VersionModel model;
    VersionComboBoxManagement catalogue(serverBase);

    if (offline) {
        catalogue.refreshLocalValues(&model);
    } else {
        QElapsedTimer clock;
        clock.start();
        auto refresh = [&] {
            QEventLoop loop;
            QObject::connect(&catalogue, &VersionComboBoxManagement::refreshSettled, &loop, &QEventLoop::quit);
            QTimer::singleShot(qMax<qint64>(1, timeoutMs - clock.elapsed()), &loop, &QEventLoop::quit);
            catalogue.refreshValues(&model);
            if (catalogue.isRefreshing())
                loop.exec();
        };
        refresh();
        using Outcome = VersionComboBoxManagement::CatalogueOutcome;
        const Outcome outcome = catalogue.catalogueOutcome();
        listing.catalogueReached = outcome == Outcome::Installed;
        listing.catalogueRefused = outcome == Outcome::Refused;
        listing.storeBusy = outcome == Outcome::StoreBusy;
        listing.problem = catalogue.catalogueProblem();
        if (outcome == Outcome::StoreUnusable)
            listing.storeProblem = listing.problem;
        // A file named by both the stored and the fresh catalogue is fetched
        // only once, from the address the stored one gave; when that failed,
        // a second pass (what the window's next start would do) asks the
        // fresh catalogue's address.
        if (catalogue.failedFirmwareDownloads() > 0 && listing.catalogueReached && clock.elapsed() < timeoutMs)
            refresh();
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

QString downgradeRefusal(const QString &runningVersion, const QString &firmwareNumber, bool advise)
{
    const VersionNumber running = VersionNumber::parse(runningVersion);
    const VersionNumber firmware = VersionNumber::parse(firmwareNumber);
    if (!running.isValid() || !firmware.isValid() || firmware.compareRelease(running) >= 0)
        return QString();
    return QStringLiteral("version %1.%2 is older than the running %3%4")
        .arg(firmware.major)
        .arg(firmware.minor, 3, 10, QLatin1Char('0'))
        .arg(runningVersion,
             advise ? QStringLiteral("; name it with --version, or pass --allow-downgrade") : QStringLiteral(": not installed"));
}

bool runsRelease(const QString &runningVersion, const QString &firmwareNumber)
{
    const VersionNumber running = VersionNumber::parse(runningVersion);
    const VersionNumber firmware = VersionNumber::parse(firmwareNumber);
    return running.isValid() && firmware.isValid() && firmware.compareRelease(running) == 0;
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
