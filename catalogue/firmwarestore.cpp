#include "firmwarestore.h"

#include "safefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>

const QString FirmwareStore::kCatalogueName = QStringLiteral("731Versions.json");
const QString FirmwareStore::kSignatureName = QStringLiteral("731Versions.json.sig");
const QString FirmwareStore::kKeptCatalogueName = QStringLiteral("731Versions.kept");
const QString FirmwareStore::kPublicationMarkName = QStringLiteral("731Versions.published");
const QString FirmwareStore::kLockName = QStringLiteral("731store.lock");
const QString FirmwareStore::kPasswordName = QStringLiteral("731-0-00-2019-01-01-1200.txt");
const QString FirmwareStore::kMemoryImageName = QStringLiteral("731-0-01-2019-01-01-1200.txt");
const QString FirmwareStore::kStagingFolder = QStringLiteral("incoming");

namespace {

const QString kBackupPrefix = QStringLiteral("731-info-"); // + bridge serial number + ".txt"
const QString kBackupSuffix = QStringLiteral(".txt");
const QString kPreviousSuffix = QStringLiteral(".old");
const QString kStagingPrefix = QStringLiteral("p"); // + pid + "-" + random: one staging folder per process

// Fixed for the life of the process, so that every store object finds the same folder.
QString processStagingName()
{
    static const QString name = kStagingPrefix + QString::number(QCoreApplication::applicationPid())
                                + QLatin1Char('-') + QString::number(QRandomGenerator::global()->generate(), 36);
    return name;
}

} // namespace

FirmwareStore::FirmwareStore(const QString &directory) : folder(directory) {}

QString FirmwareStore::settleDataLocation()
{
#ifndef Q_OS_WIN
    if (qEnvironmentVariableIsEmpty("XDG_DATA_HOME") && qEnvironmentVariableIsEmpty("HOME"))
        return QStringLiteral("neither HOME nor XDG_DATA_HOME is set: there is no folder for the toolkit's files");
#endif
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return QStringLiteral("the per-user data folder cannot be determined");
    if (QDir::isRelativePath(data))
        qputenv("XDG_DATA_HOME", QFile::encodeName(QDir(data).absolutePath()));
    return QString();
}

QString FirmwareStore::pathOf(const QString &name) const
{
    return folder + QLatin1Char('/') + name;
}

QString FirmwareStore::stagingDirectory() const
{
    return pathOf(kStagingFolder) + QLatin1Char('/') + processStagingName();
}

QString FirmwareStore::stagedPathOf(const QString &name) const
{
    return stagingDirectory() + QLatin1Char('/') + name;
}

bool FirmwareStore::isFirmwareName(const QString &name)
{
    static const QRegularExpression rule(QStringLiteral("^731-\\d{3}-\\d{3}-\\d{4}-\\d{2}-\\d{2}-\\d{4}\\.txt$"));
    return rule.match(name).hasMatch();
}

QString FirmwareStore::backupName(const QString &bridgeSerialNumber)
{
    if (bridgeSerialNumber.isEmpty())
        return QString();
    QString serial = bridgeSerialNumber;
    serial.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
    return kBackupPrefix + serial + kBackupSuffix;
}

QString FirmwareStore::previousGeneration(const QString &backupName)
{
    return backupName + kPreviousSuffix;
}

QString FirmwareStore::versionOfFirmwareFile(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    if (!isFirmwareName(name))
        return QString();
    return name.mid(4, 3) + QLatin1Char('.') + name.mid(8, 3);
}

bool FirmwareStore::isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
           && !name.contains(QLatin1Char(':')) && !name.contains(QChar(0));
}

FirmwareStore::Kind FirmwareStore::classify(const QString &name)
{
    // The store's own names first; the firmware rule is disjoint from them,
    // but a rule that ever widened must not swallow one.
    if (name == kCatalogueName)
        return Kind::Catalogue;
    if (name == kSignatureName)
        return Kind::CatalogueSignature;
    if (name == kKeptCatalogueName)
        return Kind::KeptCatalogue;
    if (name == kPublicationMarkName)
        return Kind::PublicationMark;
    if (name == kPasswordName)
        return Kind::PasswordFile;
    if (name == kMemoryImageName)
        return Kind::MemoryImage;
    if (name == kStagingFolder)
        return Kind::Staging;
    if (name.startsWith(kBackupPrefix, Qt::CaseInsensitive))
        return Kind::InformationBackup;
    if (name.endsWith(QLatin1String(".lock"), Qt::CaseInsensitive))
        return Kind::Lock;
    if (name.startsWith(QLatin1Char('.')) || name.endsWith(QLatin1String(".new"), Qt::CaseInsensitive)
        || name.endsWith(QLatin1String(".old"), Qt::CaseInsensitive)
        || name.endsWith(QLatin1String(".tmp"), Qt::CaseInsensitive))
        return Kind::Temporary;
    if (isFirmwareName(name))
        return Kind::Firmware;
    return Kind::Foreign;
}

QString FirmwareStore::describe(Kind kind)
{
    switch (kind) {
    case Kind::Firmware:
        return QStringLiteral("firmware");
    case Kind::Catalogue:
        return QStringLiteral("version file");
    case Kind::CatalogueSignature:
        return QStringLiteral("version file signature");
    case Kind::KeptCatalogue:
        return QStringLiteral("kept version file");
    case Kind::PublicationMark:
        return QStringLiteral("publication time");
    case Kind::PasswordFile:
        return QStringLiteral("password file");
    case Kind::MemoryImage:
        return QStringLiteral("memory image");
    case Kind::InformationBackup:
        return QStringLiteral("information-memory backup");
    case Kind::Lock:
        return QStringLiteral("lock file");
    case Kind::Temporary:
        return QStringLiteral("temporary file");
    case Kind::Staging:
        return QStringLiteral("download folder");
    case Kind::Foreign:
        break;
    }
    return QStringLiteral("not a firmware name");
}

bool FirmwareStore::isWritableKind(Kind kind)
{
    // Backups go through writeBackup only; the memory image and locks belong
    // to the engine and the workflow. The catalogue side writes none of them.
    return kind == Kind::Firmware || kind == Kind::Catalogue || kind == Kind::CatalogueSignature
           || kind == Kind::KeptCatalogue || kind == Kind::PublicationMark || kind == Kind::PasswordFile;
}

bool FirmwareStore::prepare() const
{
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return false;
    const QString incoming = pathOf(kStagingFolder);
    if (safefile::isSymLink(incoming))
        safefile::remove(incoming);
    if (!QDir().mkpath(incoming) || safefile::isSymLink(incoming))
        return false;
    // Only the lock's holder stages anything, so any other process's folder is a leftover.
    const QString own = processStagingName();
    for (const QString &name : QDir(incoming).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        if (name != own && name.startsWith(kStagingPrefix) && !safefile::isSymLink(incoming + QLatin1Char('/') + name))
            QDir(incoming + QLatin1Char('/') + name).removeRecursively();
    }
    const QString staging = stagingDirectory();
    if (safefile::isSymLink(staging))
        safefile::remove(staging);
    return QDir().mkpath(staging) && !safefile::isSymLink(staging);
}

void FirmwareStore::removeStaging() const
{
    const QString staging = stagingDirectory();
    if (safefile::isSymLink(staging))
        safefile::remove(staging);
    else
        QDir(staging).removeRecursively();
}

bool FirmwareStore::holds(const QString &name) const
{
    return isPlainName(name) && safefile::isRegularFile(pathOf(name));
}

safefile::Lookup FirmwareStore::lookUp(const QString &name, QString *error) const
{
    return isPlainName(name) ? safefile::lookUp(pathOf(name), error) : safefile::Lookup::Missing;
}

bool FirmwareStore::read(const QString &name, qint64 maxBytes, QByteArray *bytes, QString *error) const
{
    if (!isPlainName(name)) {
        bytes->clear();
        return false;
    }
    return safefile::readRegularFile(pathOf(name), maxBytes, bytes, error);
}

bool FirmwareStore::readStaged(const QString &name, qint64 maxBytes, QByteArray *bytes, QString *error) const
{
    if (!isPlainName(name)) {
        bytes->clear();
        return false;
    }
    return safefile::readRegularFile(stagedPathOf(name), maxBytes, bytes, error);
}

bool FirmwareStore::write(const QString &name, const QByteArray &bytes, QString *error) const
{
    if (!isPlainName(name) || !isWritableKind(classify(name))) {
        if (error)
            *error = name + QStringLiteral(": the store does not write a ") + describe(classify(name));
        return false;
    }
    return safefile::writeFile(pathOf(name), bytes, error);
}

bool FirmwareStore::create(const QString &name, const QByteArray &bytes, QString *error) const
{
    if (!isPlainName(name) || !isWritableKind(classify(name))) {
        if (error)
            *error = name + QStringLiteral(": the store does not write a ") + describe(classify(name));
        return false;
    }
    bool existed = false;
    return safefile::createFile(pathOf(name), bytes, &existed, error) || existed;
}

QByteArray FirmwareStore::keptCatalogue(const QByteArray &catalogue, const QByteArray &signature)
{
    return signature.trimmed() + '\n' + catalogue;
}

bool FirmwareStore::splitKeptCatalogue(const QByteArray &kept, QByteArray *catalogue, QByteArray *signature)
{
    const int end = kept.indexOf('\n');
    if (end < 0)
        return false;
    *signature = kept.left(end);
    *catalogue = kept.mid(end + 1);
    return true;
}

bool FirmwareStore::writeBackup(const QString &name, const QByteArray &bytes, QString *error) const
{
    if (!isPlainName(name) || classify(name) != Kind::InformationBackup) {
        *error = name + QStringLiteral(": not the name of an information-memory backup");
        return false;
    }
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create the folder ") + QDir::toNativeSeparators(folder);
        return false;
    }
    return safefile::writeFile(pathOf(name), bytes, error, safefile::Check::ReadBack);
}

bool FirmwareStore::install(const QString &name, QString *error) const
{
    if (!isPlainName(name) || !isWritableKind(classify(name))) {
        if (error)
            *error = name + QStringLiteral(": the store does not install a ") + describe(classify(name));
        return false;
    }
    return safefile::replaceWith(stagedPathOf(name), pathOf(name), error);
}

bool FirmwareStore::removeFirmware(const QString &name) const
{
    if (!isPlainName(name) || classify(name) != Kind::Firmware)
        return false;
    return safefile::remove(pathOf(name));
}

void FirmwareStore::discardStaged(const QString &name) const
{
    if (!isPlainName(name))
        return;
    const QString staged = stagedPathOf(name);
    for (const QString &path : {staged, staged + QStringLiteral(".new"), staged + QStringLiteral(".old")})
        safefile::remove(path);
}
