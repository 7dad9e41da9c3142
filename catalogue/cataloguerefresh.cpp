#include "cataloguerefresh.h"

#include "cataloguedocument.h"
#include "cataloguetrust.h"
#include "firmwarefetcher.h"
#include "offeredversions.h"
#include "safefile.h"
#include "storedcatalogue.h"
#include "transferpool.h"

#include <QDebug>

using catalogue::CatalogueDocument;
using catalogue::parseCatalogue;

QString CatalogueRefresh::Settings::fileUrl(const QString &fileName) const
{
    QString base = serverBase.toString();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base + QLatin1Char('/') + fileName;
}

CatalogueRefresh::CatalogueRefresh(const Settings &settings, TransferPool &transfers, FirmwareFetcher &fetcher,
                                   OfferedVersions &offered, QObject *parent)
    : QObject(parent), settings(settings), transfers(transfers), fetcher(fetcher), offered(offered)
{
    connect(&lock, &StoreLock::missed, this, [this](const QString &busy) {
        // What is stored fills the list meanwhile.
        qDebug().noquote() << "Firmware folder not locked: " + busy;
        listAndFetch();
    });
    connect(&lock, &StoreLock::acquired, this, [this] { advance(Event::LockHeld); });
    connect(&lock, &StoreLock::abandoned, this, &CatalogueRefresh::giveUp);
    connect(&transfers, &TransferPool::released, this, &CatalogueRefresh::settleWhenIdle);
}

void CatalogueRefresh::start()
{
    enter(Stage::WaitingForLock);
}

// Every transition of a refresh: from the stage it is in, on what happened,
// to the stage whose work then starts (enter). Anything else leaves the
// stage as it is.
void CatalogueRefresh::advance(Event event)
{
    static const struct
    {
        Stage from;
        Event on;
        Stage to;
    } kTransitions[] = {
        {Stage::WaitingForLock, Event::LockHeld, Stage::Catalogue},
        {Stage::WaitingForLock, Event::LockAbandoned, Stage::Firmware},
        {Stage::Catalogue, Event::CatalogueFetched, Stage::Signature},
        {Stage::Catalogue, Event::CatalogueDone, Stage::Password},
        {Stage::Signature, Event::CatalogueDone, Stage::Password},
        {Stage::Password, Event::PasswordDone, Stage::Firmware},
        {Stage::Firmware, Event::Idle, Stage::Settled},
    };
    for (const auto &transition : kTransitions) {
        if (transition.from == current && transition.on == event) {
            enter(transition.to);
            return;
        }
    }
}

void CatalogueRefresh::enter(Stage next)
{
    current = next;
    emit stageEntered(next);
    switch (next) {
    case Stage::WaitingForLock:
        lock.acquire(settings.directory);
        break;
    case Stage::Catalogue:
        fetchCatalogue();
        break;
    case Stage::Signature:
        fetchSignature();
        break;
    case Stage::Password:
        fetchPassword();
        break;
    case Stage::Firmware:
        // Never settled at once: whoever started the refresh sees it running
        // and waits for settled().
        QMetaObject::invokeMethod(this, &CatalogueRefresh::settleWhenIdle, Qt::QueuedConnection);
        break;
    case Stage::Settled:
        lock.unlock();
        emit settled();
        break;
    }
}

void CatalogueRefresh::settleWhenIdle()
{
    if (transfers.isIdle())
        advance(Event::Idle);
}

void CatalogueRefresh::giveUp(StoreLock::Attempt attempt, const QString &problem)
{
    result = attempt == StoreLock::Attempt::Busy ? Outcome::StoreBusy : Outcome::StoreUnusable;
    why = problem;
    qWarning().noquote() << "Catalogue not refreshed, " + problem + "; the stored versions are listed.";
    advance(Event::LockAbandoned);
}

void CatalogueRefresh::listAndFetch()
{
    const FirmwareStore files = settings.store();
    const bool owner = lock.isHeld();
    const QList<catalogue::CatalogueEntry> missing = offered.list(files, settings.key, owner);
    for (const catalogue::CatalogueEntry &item : missing) {
        if (!owner)
            break;
        if (settings.keyed() && item.sha256.isEmpty()) {
            // A signed catalogue vouches for a file only through its digest.
            // Debug level: the built-in catalogue has no digests at all.
            qDebug().noquote() << "processMetadataFile. Not downloading version" << item.version.number
                               << "without sha256";
            continue;
        }
        fetcher.fetch(files, item.version, item.sha256);
    }
}

void CatalogueRefresh::listAgain()
{
    qDebug().noquote() << "Refresh still running";
    listAndFetch();
}

void CatalogueRefresh::fetchCatalogue()
{
    const FirmwareStore files = settings.store();
    // Downloads need the folder even when no built-in file was copied there.
    if (!files.prepare())
        qWarning().noquote() << "Cannot prepare the firmware folder " + files.directory();
    const bool asked = transfers.start(QUrl(settings.fileUrl(FirmwareStore::kCatalogueName)),
                                       FirmwareStore::kCatalogueName, files.stagingDirectory());
    if (!settings.keyed())
        transfers.start(QUrl(settings.fileUrl(FirmwareStore::kPasswordName)), FirmwareStore::kPasswordName,
                        files.stagingDirectory());
    // Whatever catalogue is here already fills the list while the new one loads.
    listAndFetch();
    if (!asked)
        advance(Event::CatalogueDone);
}

void CatalogueRefresh::catalogueEnded(int status)
{
    if (current != Stage::Catalogue)
        return;
    if (status != 0) {
        // The local copy, which a failed download leaves untouched, is used.
        qWarning() << "Couldn't copy remote version file.";
        result = Outcome::Unreachable;
        decide(QString());
    } else if (settings.keyed()) {
        advance(Event::CatalogueFetched);
    } else {
        checkPlainCatalogue();
    }
}

void CatalogueRefresh::checkPlainCatalogue()
{
    QByteArray bytes;
    QString unread;
    const bool readable =
        settings.store().readStaged(FirmwareStore::kCatalogueName, FirmwareStore::kMaxCatalogueBytes, &bytes, &unread);
    const CatalogueDocument document = parseCatalogue(bytes);
    if (!readable || !document.ok) {
        // Discarded before it replaced anything: the local catalogue is read again.
        qWarning() << "Couldn't parse local metadata file.";
        qDebug().noquote() << "Remote version file discarded: " + (readable ? document.error : unread);
        result = Outcome::Refused;
        why = !readable      ? unread
              : document.json ? QStringLiteral("not a catalogue (") + document.error + QLatin1Char(')')
                              : QStringLiteral("not a catalogue (HTML page?)");
        decide(QString());
        return;
    }
    const StoredCatalogue pair(settings.store(), settings.key);
    QString refusal = pair.refusal(document);
    if (refusal.isEmpty() && pair.install(bytes, QByteArray(), document.published, &refusal))
        result = Outcome::Installed;
    decide(refusal);
}

void CatalogueRefresh::fetchSignature()
{
    if (!transfers.start(QUrl(settings.fileUrl(FirmwareStore::kSignatureName)), FirmwareStore::kSignatureName,
                         settings.store().stagingDirectory()))
        decide(QStringLiteral("its signature is already being fetched"));
}

void CatalogueRefresh::signatureEnded(int status)
{
    if (current != Stage::Signature)
        return;
    if (status != 0) {
        decide(QStringLiteral("signature could not be downloaded"));
        return;
    }
    const FirmwareStore files = settings.store();
    QByteArray bytes;
    QByteArray signature;
    QString reason;
    if (!files.readStaged(FirmwareStore::kCatalogueName, FirmwareStore::kMaxCatalogueBytes, &bytes, &reason)
        || !files.readStaged(FirmwareStore::kSignatureName, FirmwareStore::kMaxSignatureBytes, &signature, &reason)
        || !catalogue::verifyCatalogueSignature(bytes, signature, settings.key, &reason)) {
        decide(reason);
        return;
    }
    const CatalogueDocument document = parseCatalogue(bytes);
    if (!document.ok) {
        qDebug().noquote() << "Signed version file: " + document.error;
        decide(QStringLiteral("signed, but not a catalogue"));
        return;
    }
    const StoredCatalogue pair(files, settings.key);
    reason = pair.refusal(document);
    if (reason.isEmpty() && pair.install(bytes, signature, document.published, &reason))
        result = Outcome::Installed;
    decide(reason);
}

void CatalogueRefresh::decide(const QString &refusal)
{
    if (!refusal.isEmpty()) {
        result = Outcome::Refused;
        why = refusal;
        qWarning().noquote() << "Remote version file discarded, " + refusal + "; the local version file stays in use.";
    }
    const FirmwareStore files = settings.store();
    files.discardStaged(FirmwareStore::kCatalogueName);
    files.discardStaged(FirmwareStore::kSignatureName);
    listAndFetch();
    advance(Event::CatalogueDone);
}

void CatalogueRefresh::fetchPassword()
{
    // Without a key it runs since the catalogue was asked for.
    if (settings.keyed())
        transfers.start(QUrl(settings.fileUrl(FirmwareStore::kPasswordName)), FirmwareStore::kPasswordName,
                        settings.store().stagingDirectory());
    if (!transfers.runs(FirmwareStore::kPasswordName))
        advance(Event::PasswordDone);
}

void CatalogueRefresh::passwordEnded(int status)
{
    const FirmwareStore files = settings.store();
    if (status != 0) {
        qWarning() << "Couldn't copy remote password file.";
    } else {
        // The working file is replaced only by one the workflow can use: an
        // error page or an empty body would leave every instrument "Unknown".
        QByteArray bytes;
        QString reason;
        bool good = files.readStaged(FirmwareStore::kPasswordName, FirmwareStore::kMaxPasswordBytes, &bytes, &reason)
                    && catalogue::checkPasswordFile(bytes, &reason);
        const QString digest = offered.passwordSha256();
        if (good && settings.keyed() && !digest.isEmpty() && catalogue::sha256Hex(bytes) != digest) {
            good = false;
            reason = QStringLiteral("its sha256 differs from the signed catalogue");
        }
        // One that cannot be read is left as it is: it may be the only one that opens an instrument.
        QByteArray working;
        QString unread;
        if (good
            && safefile::readFile(files.pathOf(FirmwareStore::kPasswordName), FirmwareStore::kMaxPasswordBytes,
                                  &working, &unread)
                   == safefile::Read::Failed) {
            good = false;
            reason = QStringLiteral("the local one cannot be read (") + unread + QLatin1Char(')');
        }
        if (good && !files.install(FirmwareStore::kPasswordName, &reason))
            good = false;
        if (!good)
            qWarning().noquote() << "Remote password file discarded, " + reason + "; the local password file stays in use.";
    }
    files.discardStaged(FirmwareStore::kPasswordName);
    checkPasswordFile();
    advance(Event::PasswordDone);
}

void CatalogueRefresh::checkPasswordFile()
{
    const FirmwareStore files = settings.store();
    const QString path = files.pathOf(FirmwareStore::kPasswordName);
    QByteArray bytes;
    QString unread;
    if (!safefile::readRegularFile(path, FirmwareStore::kMaxPasswordBytes, &bytes, &unread)) {
        qWarning().noquote() << "processPasswordFile. Couldn't read local password file" + path;
        qDebug().noquote() << path + ": " + unread;
        // The built-in copy is the backup of last resort, for a missing file only.
        catalogue::installBuiltInFile(files.directory(), FirmwareStore::kPasswordName);
    }
}
