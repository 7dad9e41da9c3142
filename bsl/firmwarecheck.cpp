#include "firmwarecheck.h"

#include "scramblekey.h"

#include <QFile>

#include <algorithm>
#include <vector>

namespace bsl {

namespace {

constexpr uint32_t kFlashStart = 0x1100; // main flash; below are information memory, RAM, peripherals
constexpr uint32_t kFlashEnd = 0xFFFF;   // last byte, inclusive
constexpr uint32_t kResetVector = 0xFFFE; // low byte; high byte at 0xFFFF
constexpr int kMaxLineWithEnd = 126; // the engine reads lines in pieces of this size
constexpr int kMaxLineValues = 16;
constexpr qint64 kMaxFileSize = 1024 * 1024; // several times a full 64 KiB image in text

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int hexValue(char c)
{
    if (c <= '9')
        return c - '0';
    return (c | 0x20) - 'a' + 10;
}

QString hex4(uint32_t value)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

bool parseDataValues(const QByteArray &content, QByteArray *out)
{
    // "AA BB CC": pairs at 0, 3, 6, ... with one space between them.
    if (content.size() % 3 != 2)
        return false;
    const int count = (content.size() + 1) / 3;
    if (count > kMaxLineValues)
        return false;
    for (int i = 0; i < count; ++i) {
        const int pos = 3 * i;
        if (!isHex(content[pos]) || !isHex(content[pos + 1]))
            return false;
        if (i + 1 < count && content[pos + 2] != ' ')
            return false;
        out->append(static_cast<char>(hexValue(content[pos]) * 16 + hexValue(content[pos + 1])));
    }
    return true;
}

} // namespace

bool parseTiText(const QByteArray &text, QVector<ImageBlock> *blocks, QString *reason)
{
    blocks->clear();
    if (text.contains('\0')) {
        *reason = QStringLiteral("not a text file");
        return false;
    }
    const QByteArray plain = unscrambleText(text);

    uint32_t address = 0;
    bool haveBlock = false;
    int lineNumber = 0;
    int position = 0;
    while (position < plain.size()) {
        ++lineNumber;
        int lf = plain.indexOf('\n', position);
        const int end = lf < 0 ? plain.size() : lf + 1;
        QByteArray line = plain.mid(position, end - position);
        position = end;
        if (line.size() > kMaxLineWithEnd) {
            *reason = QStringLiteral("line %1 is longer than %2 characters").arg(lineNumber).arg(kMaxLineWithEnd);
            return false;
        }
        while (!line.isEmpty() && (line.endsWith('\n') || line.endsWith('\r') || line.endsWith(' ') || line.endsWith('\t')))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if (line[0] == 'q') {
            if (blocks->isEmpty()) {
                *reason = QStringLiteral("no data before the end line");
                return false;
            }
            return true;
        }
        if (line[0] == '@') {
            const QByteArray digits = line.mid(1);
            bool ok = digits.size() >= 1 && digits.size() <= 8;
            for (char c : digits)
                ok = ok && isHex(c);
            if (!ok) {
                *reason = QStringLiteral("line %1 is not a valid address line").arg(lineNumber);
                return false;
            }
            address = digits.toUInt(nullptr, 16);
            haveBlock = false;
            continue;
        }
        QByteArray values;
        if (!parseDataValues(line, &values)) {
            *reason = QStringLiteral("line %1 is not TI-TXT").arg(lineNumber);
            return false;
        }
        if (!haveBlock) {
            blocks->append(ImageBlock{address, QByteArray()});
            haveBlock = true;
        }
        blocks->last().bytes += values;
        address += static_cast<uint32_t>(values.size());
    }
    *reason = QStringLiteral("no end line: the text is incomplete");
    return false;
}

FirmwareCheck checkFirmwareText(const QByteArray &text)
{
    FirmwareCheck result;
    QVector<ImageBlock> blocks;
    QString why;
    if (!parseTiText(text, &blocks, &why)) {
        result.reason = QStringLiteral("firmware is not TI-TXT: ") + why;
        return result;
    }

    std::vector<bool> written(kFlashEnd + 1, false);
    for (const ImageBlock &block : blocks) {
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
    for (const ImageBlock &block : blocks) {
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
