#include "firmwarestore.h"

#include "safefile.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

const QString FirmwareStore::kCatalogueName = QStringLiteral("731Versions.json");
const QString FirmwareStore::kSignatureName = QStringLiteral("731Versions.json.sig");
const QString FirmwareStore::kPasswordName = QStringLiteral("731-0-00-2019-01-01-1200.txt");
const QString FirmwareStore::kMemoryImageName = QStringLiteral("731-0-01-2019-01-01-1200.txt");
const QString FirmwareStore::kStagingFolder = QStringLiteral("incoming");

namespace {

const QString kBackupPrefix = QStringLiteral("731-info-"); // + bridge serial number + ".txt"
const QString kBackupSuffix = QStringLiteral(".txt");
const QString kPreviousSuffix = QStringLiteral(".old");

} // namespace

FirmwareStore::FirmwareStore(const QString &directory) : folder(directory) {}

QString FirmwareStore::pathOf(const QString &name) const
{
    return folder + QLatin1Char('/') + name;
}

QString FirmwareStore::stagingDirectory() const
{
    return pathOf(kStagingFolder);
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
           || kind == Kind::PasswordFile;
}

bool FirmwareStore::prepare() const
{
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return false;
    const QString staging = stagingDirectory();
    if (safefile::isSymLink(staging))
        safefile::remove(staging);
    return QDir().mkpath(staging) && !safefile::isSymLink(staging);
}

bool FirmwareStore::holds(const QString &name) const
{
    return isPlainName(name) && safefile::isRegularFile(pathOf(name));
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
