#include "infomemory.h"

#include "durablefile.h"
#include "firmwarecheck.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include <vector>

namespace infomemory {

namespace {
constexpr uint32_t kStart = 0x1000;
constexpr int kBytesPerLine = 16;
constexpr char kErased = char(0xFF);
constexpr int kMaxBackupFileSize = 4096; // a backup is about 850 bytes
const char kDigestPrefix[] = "sha256 ";
const char kEndLine[] = "\nq\n";

// One TI-TXT block without the end line.
QByteArray blockText(uint32_t address, const QByteArray &bytes)
{
    QByteArray text = '@' + QByteArray::number(address, 16).toUpper() + '\n';
    for (int i = 0; i < bytes.size(); ++i) {
        text += QByteArray::number(uchar(bytes[i]), 16).rightJustified(2, '0').toUpper();
        text += (i % kBytesPerLine == kBytesPerLine - 1 || i + 1 == bytes.size()) ? '\n' : ' ';
    }
    return text;
}

QByteArray digestLine(const QByteArray &body)
{
    return kDigestPrefix + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() + '\n';
}

struct BackupFile
{
    BackupState state = BackupState::Missing;
    QByteArray bytes;
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
    if (!hasMarker(bytes) || (!trailer.isEmpty() && trailer != digestLine(body)))
        return file;
    file.state = BackupState::Intact;
    file.bytes = bytes;
    return file;
}

BackupFile readBackup(const QString &path)
{
    bool exists = false;
    const QByteArray text = durable::readFile(path, kMaxBackupFileSize, &exists);
    return parseBackup(text, exists);
}

} // namespace

QByteArray fromText(const QByteArray &text)
{
    QVector<bsl::ImageBlock> blocks;
    QString reason;
    if (!bsl::parseTiText(text, &blocks, &reason))
        return QByteArray();
    QByteArray bytes(kSize, kErased);
    std::vector<bool> seen(kSize, false);
    for (const bsl::ImageBlock &block : blocks) {
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
    return blockText(kStart, bytes) + "q\n";
}

QByteArray toRestoreText(const QByteArray &bytes)
{
    const QByteArray image = withErasedVersion(bytes);
    // Words, not bytes: the loader writes whole words.
    const int markerWord = kMarkerOffset & ~1;
    const int afterMarker = markerWord + 2;
    return blockText(kStart, image.left(markerWord)) + blockText(kStart + afterMarker, image.mid(afterMarker))
        + blockText(kStart + markerWord, image.mid(markerWord, 2)) + "q\n";
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
    const BackupFile latest = readBackup(path);
    copy.latest = latest.state;
    if (latest.state == BackupState::Intact) {
        copy.bytes = latest.bytes;
        return copy;
    }
    const BackupFile older = readBackup(path + QLatin1String(durable::kOldSuffix));
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
    bool exists = false;
    const QByteArray current = durable::readFile(path, kMaxBackupFileSize, &exists);
    if (current == text && !QFileInfo(path).isSymLink())
        return true; // written and read back before
    const BackupFile previous = parseBackup(current, exists);
    if (previous.state == BackupState::Intact && previous.bytes != bytes
        && !durable::writeFile(path + QLatin1String(durable::kOldSuffix), current, error))
        return false;
    return durable::writeFile(path, text, error);
}

} // namespace infomemory
