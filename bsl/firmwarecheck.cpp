#include "firmwarecheck.h"

#include "titxtimage.h"

#include <QFile>

#include <algorithm>
#include <vector>

namespace bsl {

namespace {

constexpr uint32_t kFlashStart = 0x1100; // main flash; below are information memory, RAM, peripherals
constexpr uint32_t kFlashEnd = 0xFFFF;   // last byte, inclusive
constexpr uint32_t kResetVector = 0xFFFE; // low byte; high byte at 0xFFFF
constexpr qint64 kMaxFileSize = 1024 * 1024; // several times a full 64 KiB image in text

QString hex4(uint32_t value)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

FirmwareCheck checkFirmwareText(const QByteArray &text)
{
    FirmwareCheck result;
    titxt::Image blocks;
    QString why;
    if (!titxt::parse(text, &blocks, &why)) {
        result.reason = QStringLiteral("firmware is not TI-TXT: ") + why;
        return result;
    }

    std::vector<bool> written(kFlashEnd + 1, false);
    for (const titxt::Block &block : blocks) {
        const uint64_t last = uint64_t(block.address) + uint64_t(block.bytes.size()) - 1;
        if (block.address < kFlashStart || last > kFlashEnd) {
            const uint32_t bad = block.address < kFlashStart ? block.address : std::max(block.address, kFlashEnd + 1);
            result.reason = QStringLiteral("firmware writes outside the main flash (0x1100-0xFFFF) at %1").arg(hex4(bad));
            return result;
        }
        for (uint32_t a = block.address; a <= last; ++a) {
            if (written[a]) {
                result.reason = QStringLiteral("firmware writes address %1 twice").arg(hex4(a));
                return result;
            }
            written[a] = true;
        }
    }

    if (!written[kResetVector] || !written[kResetVector + 1]) {
        result.reason = QStringLiteral("firmware does not set the reset vector (0xFFFE-0xFFFF)");
        return result;
    }
    uint32_t entry = 0;
    for (const titxt::Block &block : blocks) {
        for (int i = 0; i < block.bytes.size(); ++i) {
            const uint32_t a = block.address + uint32_t(i);
            if (a == kResetVector)
                entry |= uint8_t(block.bytes[i]);
            else if (a == kResetVector + 1)
                entry |= uint32_t(uint8_t(block.bytes[i])) << 8;
        }
    }
    // Instructions are word-aligned; an erased vector would start nothing.
    if (entry < kFlashStart || entry == kFlashEnd || entry % 2 != 0 || !written[entry]) {
        result.reason = QStringLiteral("firmware reset vector %1 points at no firmware code").arg(hex4(entry));
        return result;
    }
    result.ok = true;
    return result;
}

FirmwareCheck checkFirmwareFile(const QString &path)
{
    FirmwareCheck result;
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        result.reason = QStringLiteral("firmware file cannot be opened: ") + path;
        return result;
    }
    if (file.size() > kMaxFileSize) {
        result.reason = QStringLiteral("firmware file is too large: ") + path;
        return result;
    }
    return checkFirmwareText(file.readAll());
}

} // namespace bsl
