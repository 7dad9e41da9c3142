#include "infomemory.h"

#include "firmwarestore.h"
#include "safefile.h"
#include "titxtimage.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>

#include <vector>

namespace infomemory {

namespace {
constexpr uint32_t kStart = 0x1000;
constexpr char kErased = char(0xFF);
constexpr int kMaxBackupFileSize = 4096; // a backup is about 850 bytes
// A file at a backup's name that has grown past that is damaged, and still
// kept aside whole up to this size; a larger one is left where it is.
constexpr int kMaxKeptAside = 1024 * 1024;
const char kDigestPrefix[] = "sha256 ";
const char kEndLine[] = "\nq\n";

QByteArray digestLine(const QByteArray &body)
{
    return kDigestPrefix + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() + '\n';
}

struct BackupFile
{
    BackupState state = BackupState::Missing;
    QByteArray bytes;
    QString unreadable; // why a file that is there could not be read
};

BackupFile parseBackup(const QByteArray &text, bool exists)
{
    BackupFile file;
    if (!exists)
        return file;
    file.state = BackupState::Damaged;
    const int end = text.indexOf(kEndLine);
    if (end < 0)
        return file;
    const QByteArray body = text.left(end + int(sizeof kEndLine) - 1);
    const QByteArray trailer = text.mid(body.size());
    const QByteArray bytes = fromText(body);
    // Without its digest line a changed byte could not show: damaged too.
    if (!hasMarker(bytes) || trailer != digestLine(body))
        return file;
    file.state = BackupState::Intact;
    file.bytes = bytes;
    return file;
}

// A link or anything else that is not a plain file counts as damaged: it is
// never followed, and the next backup replaces it with a file of its own.
BackupFile readBackup(const FirmwareStore &store, const QString &name, QByteArray *text = nullptr)
{
    QByteArray bytes;
    QString error;
    const bool read = store.read(name, kMaxBackupFileSize, &bytes, &error);
    if (text)
        *text = bytes;
    BackupFile file = parseBackup(bytes, safefile::exists(store.pathOf(name)));
    // A plain file of a backup's size that cannot be read (permission, I/O)
    // is not damaged: nobody knows what it holds.
    const QString path = store.pathOf(name);
    if (!read && safefile::isRegularFile(path) && QFileInfo(path).size() <= kMaxBackupFileSize)
        file.unreadable = error;
    return file;
}

QString damagedGeneration(const QString &name)
{
    return name + QStringLiteral(".damaged-")
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'hhmmsszzz'Z'"));
}

// Backups are named by the store, in the folder that holds them.
FirmwareStore storeOf(const QString &path)
{
    return FirmwareStore(QFileInfo(path).path());
}

} // namespace

QByteArray fromText(const QByteArray &text)
{
    titxt::Image blocks;
    QString reason;
    if (!titxt::parse(text, &blocks, &reason))
        return QByteArray();
    QByteArray bytes(kSize, kErased);
    std::vector<bool> seen(kSize, false);
    for (const titxt::Block &block : blocks) {
        for (int i = 0; i < block.bytes.size(); ++i) {
            const uint32_t address = block.address + uint32_t(i);
            if (address < kStart || address >= kStart + kSize || seen[address - kStart])
                return QByteArray();
            seen[address - kStart] = true;
            bytes[int(address - kStart)] = block.bytes[i];
        }
    }
    for (bool s : seen) {
        if (!s)
            return QByteArray();
    }
    return bytes;
}

QByteArray toText(const QByteArray &bytes)
{
    return titxt::format({{kStart, bytes}});
}

QByteArray toRestoreText(const QByteArray &bytes)
{
    const QByteArray image = withErasedVersion(bytes);
    // Words, not bytes: the loader writes whole words.
    const int markerWord = kMarkerOffset & ~1;
    const int afterMarker = markerWord + 2;
    return titxt::format({{kStart, image.left(markerWord)},
                          {kStart + afterMarker, image.mid(afterMarker)},
                          {kStart + markerWord, image.mid(markerWord, 2)}});
}

bool hasMarker(const QByteArray &bytes)
{
    return bytes.size() == kSize && bytes[kMarkerOffset] == kMarker;
}

QByteArray withErasedVersion(QByteArray bytes)
{
    if (bytes.size() == kSize) {
        bytes[kMajorOffset] = kErased;
        bytes[kMinorOffset] = kErased;
    }
    return bytes;
}

bool fitsBackup(const QByteArray &image, const QByteArray &backup)
{
    if (image.size() != kSize || backup.size() != kSize)
        return false;
    for (int i = 0; i < kSize; ++i) {
        if (i == kMajorOffset || i == kMinorOffset)
            continue;
        if (image[i] != kErased && image[i] != backup[i])
            return false;
    }
    return true;
}

BackupCopy loadBackup(const QString &path)
{
    BackupCopy copy;
    if (path.isEmpty())
        return copy;
    const FirmwareStore store = storeOf(path);
    const QString name = QFileInfo(path).fileName();
    const BackupFile latest = readBackup(store, name);
    copy.latest = latest.state;
    if (latest.state == BackupState::Intact) {
        copy.bytes = latest.bytes;
        return copy;
    }
    const BackupFile older = readBackup(store, FirmwareStore::previousGeneration(name));
    if (older.state == BackupState::Intact) {
        copy.bytes = older.bytes;
        copy.fromOlderCopy = true;
    }
    return copy;
}

QByteArray backupText(const QByteArray &bytes)
{
    const QByteArray body = toText(bytes);
    return body + digestLine(body);
}

bool saveBackup(const QString &path, const QByteArray &bytes, QString *error)
{
    if (path.isEmpty() || !hasMarker(bytes)) {
        *error = QStringLiteral("no complete information memory with the NVX7300 marker to back up");
        return false;
    }
    const QByteArray text = backupText(bytes);
    const FirmwareStore store = storeOf(path);
    const QString name = QFileInfo(path).fileName();
    QByteArray current;
    const BackupFile previous = readBackup(store, name, &current);
    if (!previous.unreadable.isEmpty()) {
        // An error is not an absence: what cannot be read is left as it is.
        *error = QStringLiteral("cannot read the backup %1: %2").arg(store.pathOf(name), previous.unreadable);
        return false;
    }
    // A damaged backup may still hold a calibration that exists nowhere else:
    // it is kept for service under a name of its own, never overwritten.
    if (previous.state == BackupState::Damaged && current.isEmpty() && safefile::isRegularFile(store.pathOf(name))
        && !store.read(name, kMaxKeptAside, &current, error))
        return false;
    if (previous.state == BackupState::Damaged && !current.isEmpty()
        && !store.writeBackup(damagedGeneration(name), current, error))
        return false;
    if (previous.state == BackupState::Intact && previous.bytes != bytes
        && !store.writeBackup(FirmwareStore::previousGeneration(name), current, error))
        return false;
    // Written anew even when the content already matches: only a write that
    // was flushed and read back this time proves the backup is on the disk.
    return store.writeBackup(name, text, error);
}

} // namespace infomemory
