#include "infomemory.h"

#include "firmwarecheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <vector>

namespace infomemory {

namespace {
constexpr uint32_t kStart = 0x1000;
constexpr int kBytesPerLine = 16;
constexpr char kErased = char(0xFF);
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
    QByteArray text = "@1000\n";
    for (int i = 0; i < bytes.size(); ++i) {
        text += QByteArray::number(uchar(bytes[i]), 16).rightJustified(2, '0').toUpper();
        text += (i % kBytesPerLine == kBytesPerLine - 1 || i + 1 == bytes.size()) ? '\n' : ' ';
    }
    return text + "q\n";
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

QByteArray loadBackup(const QString &path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray bytes = fromText(file.read(4096));
    return hasMarker(bytes) ? bytes : QByteArray();
}

bool saveBackup(const QString &path, const QByteArray &bytes)
{
    if (path.isEmpty() || !hasMarker(bytes))
        return false;
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(toText(bytes));
    return file.commit();
}

} // namespace infomemory
