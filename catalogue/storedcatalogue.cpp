#include "storedcatalogue.h"

#include "cataloguedocument.h"
#include "cataloguetrust.h"
#include "safefile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

using catalogue::CatalogueDocument;
using catalogue::parseCatalogue;

namespace {

const QString kResourceDir = QStringLiteral(":/firmware");
const QString kBuiltInImageName = QStringLiteral("731-001-010-2019-11-28-1324.txt");
constexpr qint64 kMaxKeptBytes = FirmwareStore::kMaxCatalogueBytes + FirmwareStore::kMaxSignatureBytes;
constexpr qint64 kMaxMarkBytes = 64; // one ISO 8601 time

// A catalogue published further ahead of this computer's clock has one clock or the other wrong.
constexpr qint64 kMaxPublishedAheadSecs = 24 * 3600;

// Empty when published may be installed by this computer's clock.
QString publishedAheadOfClock(const QDateTime &published)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!published.isValid() || published <= now.addSecs(kMaxPublishedAheadSecs))
        return QString();
    return QStringLiteral("it is published %1, more than a day ahead of this computer's clock (%2): the "
                          "catalogue's or this computer's clock is wrong")
        .arg(published.toString(Qt::ISODate), now.toString(Qt::ISODate));
}

} // namespace

StoredCatalogue::StoredCatalogue(const FirmwareStore &store, const QByteArray &key) : store(store), key(key) {}

QByteArray StoredCatalogue::builtIn()
{
    QFile resource(kResourceDir + QLatin1Char('/') + FirmwareStore::kCatalogueName);
    return resource.open(QIODevice::ReadOnly) ? resource.readAll() : QByteArray();
}

bool StoredCatalogue::trusted(const QByteArray &bytes, const QByteArray &signature, QString *reason) const
{
    // Without a key any catalogue is read; the built-in one is part of the program.
    if (!keyed() || bytes == builtIn())
        return true;
    return catalogue::verifyCatalogueSignature(bytes, signature, key, reason);
}

StoredCatalogue::Installed StoredCatalogue::read() const
{
    Installed installed;
    QString error;
    const safefile::Read catalogueRead = safefile::readFile(
        store.pathOf(FirmwareStore::kCatalogueName), FirmwareStore::kMaxCatalogueBytes, &installed.bytes, &error);
    const safefile::Read signatureRead =
        keyed() ? safefile::readFile(store.pathOf(FirmwareStore::kSignatureName), FirmwareStore::kMaxSignatureBytes,
                                     &installed.signature, catalogueRead == safefile::Read::Failed ? nullptr : &error)
                : safefile::Read::Ok;
    const CatalogueDocument document = parseCatalogue(installed.bytes);
    if (catalogueRead == safefile::Read::Failed || signatureRead == safefile::Read::Failed) {
        installed.stored = Trouble::Unreadable;
        installed.problem = error;
    } else if (catalogueRead == safefile::Read::Missing) {
        installed.stored = Trouble::Missing;
    } else if (catalogueRead != safefile::Read::Ok || !document.ok) {
        installed.stored = Trouble::Damaged; // too large, not a file, or no catalogue
        installed.problem = catalogueRead == safefile::Read::Ok ? document.error : error;
    } else if (!trusted(installed.bytes, signatureRead == safefile::Read::Ok ? installed.signature : QByteArray(),
                        &installed.problem)) {
        installed.stored = Trouble::Untrusted;
        if (signatureRead != safefile::Read::Ok)
            installed.problem = QStringLiteral("no signature");
    } else {
        installed.source = Source::Stored;
        return installed;
    }

    // The pair does not hold: the last good catalogue the store kept, whatever
    // was cut short since, is the old or the new pair as a whole.
    QByteArray kept;
    if (safefile::readFile(store.pathOf(FirmwareStore::kKeptCatalogueName), kMaxKeptBytes, &kept) == safefile::Read::Ok
        && FirmwareStore::splitKeptCatalogue(kept, &installed.bytes, &installed.signature)
        && parseCatalogue(installed.bytes).ok && trusted(installed.bytes, installed.signature, nullptr)) {
        installed.source = Source::Kept;
        return installed;
    }
    installed.signature.clear();
    // The built-in copy stands in for a missing or damaged catalogue, never for
    // one that cannot be read or one that is merely not signed.
    installed.bytes = installed.stored == Trouble::Missing || installed.stored == Trouble::Damaged ? builtIn()
                                                                                                  : QByteArray();
    if (!installed.bytes.isEmpty())
        installed.source = Source::BuiltIn;
    return installed;
}

void StoredCatalogue::tend(const Installed &installed) const
{
    QString error;
    if (installed.source == Source::Kept || installed.source == Source::BuiltIn) {
        // Put in place as a pair, catalogue first: until the signature
        // follows, a reader falls back on the kept copy as this one did.
        if (installed.stored != Trouble::Unreadable && installed.stored != Trouble::Missing
            && (!store.write(FirmwareStore::kCatalogueName, installed.bytes, &error)
                || (installed.source == Source::Kept && keyed()
                    && !store.write(FirmwareStore::kSignatureName, installed.signature, &error))))
            qWarning().noquote() << "Version file not put back: " + error;
        return;
    }
    if (installed.source != Source::Stored || installed.bytes == builtIn())
        return;
    const QByteArray kept = FirmwareStore::keptCatalogue(installed.bytes, installed.signature);
    QByteArray current;
    // A kept copy that cannot be read stays as it is, like any stored file.
    const safefile::Read found =
        safefile::readFile(store.pathOf(FirmwareStore::kKeptCatalogueName), kMaxKeptBytes, &current);
    if (found != safefile::Read::Failed && current != kept && !store.write(FirmwareStore::kKeptCatalogueName, kept, &error))
        qWarning().noquote() << "Version file not kept: " + error;
    if (keyed() && !rememberPublication(parseCatalogue(installed.bytes).published, &error))
        qWarning().noquote() << "Publication time not kept: " + error;
}

QString StoredCatalogue::refusal(const CatalogueDocument &document) const
{
    if (keyed()) {
        // A validly signed but older catalogue is a replay: it would take back
        // versions published since. Catalogues without a publication time (from
        // before it was written) are accepted only while the store has accepted
        // none with one. What the store accepted is kept apart from the catalogue,
        // so that going back to a built-in copy forgets nothing.
        QDateTime newest;
        QString error;
        if (!newestAccepted(&newest, &error))
            return QStringLiteral("the newest publication time accepted cannot be read (") + error + QLatin1Char(')');
        if (newest.isValid() && !document.published.isValid())
            return QStringLiteral("it has no publication time and the installed one has");
        if (newest.isValid() && document.published < newest) {
            return QStringLiteral("it is older than the installed one (published %1, installed %2)")
                .arg(document.published.toString(Qt::ISODate), newest.toString(Qt::ISODate));
        }
    }
    return publishedAheadOfClock(document.published);
}

bool StoredCatalogue::install(const QByteArray &bytes, const QByteArray &signature, const QDateTime &published,
                              QString *reason) const
{
    if (read().stored == Trouble::Unreadable) {
        *reason = QStringLiteral("the installed one cannot be read, and is left as it is");
        return false;
    }
    // The kept copy first: until both files are in place it is what a reader
    // falls back on. Then the publication time, so that nothing installed is
    // newer than what the store remembers.
    QString error;
    if (!store.write(FirmwareStore::kKeptCatalogueName, FirmwareStore::keptCatalogue(bytes, signature), &error)
        || (keyed() && !rememberPublication(published, &error))) {
        *reason = QStringLiteral("it could not be stored (") + error + QLatin1Char(')');
        return false;
    }
    if (store.install(FirmwareStore::kCatalogueName, &error)
        && (!keyed() || store.install(FirmwareStore::kSignatureName, &error)))
        return true;
    qWarning().noquote() << "Version file not fully installed: " + error;
    // Part of the pair may be in place, and a failed flush says nothing of
    // whether a rename happened. Put the pair in place once more, then go by
    // what a reader finds: the old pair, or the new one (in place or kept).
    QString again;
    if (store.write(FirmwareStore::kCatalogueName, bytes, &again) && keyed())
        store.write(FirmwareStore::kSignatureName, signature, &again);
    if (read().bytes == bytes)
        return true;
    *reason = QStringLiteral("it could not be stored (") + error + QLatin1Char(')');
    return false;
}

bool StoredCatalogue::newestAccepted(QDateTime *newest, QString *error) const
{
    QByteArray text;
    switch (safefile::readFile(store.pathOf(FirmwareStore::kPublicationMarkName), kMaxMarkBytes, &text, error)) {
    case safefile::Read::Ok:
        *newest = QDateTime::fromString(QString::fromLatin1(text.trimmed()), Qt::ISODate).toUTC();
        break;
    case safefile::Read::Missing:
        *newest = QDateTime();
        break;
    default:
        return false;
    }
    // A store from before the mark: the catalogue in use tells.
    const Installed installed = read();
    const QDateTime inUse = installed.source == Source::BuiltIn ? QDateTime() : parseCatalogue(installed.bytes).published;
    if (inUse.isValid() && (!newest->isValid() || inUse > *newest))
        *newest = inUse;
    return true;
}

bool StoredCatalogue::rememberPublication(const QDateTime &published, QString *error) const
{
    if (!published.isValid())
        return true;
    QByteArray text;
    const safefile::Read found =
        safefile::readFile(store.pathOf(FirmwareStore::kPublicationMarkName), kMaxMarkBytes, &text, error);
    if (found == safefile::Read::Failed)
        return false;
    const QDateTime newest = QDateTime::fromString(QString::fromLatin1(text.trimmed()), Qt::ISODate);
    if (found == safefile::Read::Ok && newest.isValid() && newest >= published)
        return true;
    return store.write(FirmwareStore::kPublicationMarkName, published.toUTC().toString(Qt::ISODate).toLatin1() + '\n',
                       error);
}

namespace catalogue {

void installBuiltInFile(const QString &directory, const QString &name)
{
    QString error;
    const safefile::Lookup found = safefile::lookUp(directory + QLatin1Char('/') + name, &error);
    if (found == safefile::Lookup::RegularFile)
        return;
    if (found == safefile::Lookup::Failed) {
        // Only a missing file is installed: this one may hold what the store learned.
        qWarning().noquote() << "Built-in file not installed, " + error + "; the file there is left as it is";
        return;
    }
    const QString resource = kResourceDir + QLatin1Char('/') + name;
    if (!QFileInfo::exists(resource)) {
        qDebug() << "no built in metadata - check project resources";
        return;
    }
    if (directory.isEmpty())
        qFatal("Cannot determine settings storage location");
    if (!QDir().mkpath(QDir(directory).absolutePath()) || !QDir::setCurrent(directory))
        return;
    qDebug().noquote() << "metadata in" << QDir::currentPath();
    QFile source(resource);
    const FirmwareStore target(directory);
    // Written owner read and write, so that later downloads can replace it. A
    // link in place of the file is not the store's file: it is replaced. A
    // missing file is created only if still missing: another process may
    // have installed its download meanwhile.
    const bool installed = source.open(QIODevice::ReadOnly)
                           && (found == safefile::Lookup::Missing ? target.create(name, source.readAll(), &error)
                                                                   : target.write(name, source.readAll(), &error));
    if (!installed)
        qWarning().noquote() << "Built-in file not installed: " + name + " " + error;
}

void installBuiltIns(const QString &directory)
{
    installBuiltInFile(directory, FirmwareStore::kCatalogueName);
    installBuiltInFile(directory, FirmwareStore::kPasswordName);
}

void installBuiltInImage(const QString &directory)
{
    installBuiltInFile(directory, kBuiltInImageName);
}

} // namespace catalogue
