#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>

namespace bsl {

struct FirmwareCheck { bool ok = false; QString reason; };   // reason: one line saying which check failed

// The file descrambles (plain passes unchanged) and parses as TI-TXT, all its data lies in the
// instrument's main flash (0x1100-0xFFFF), and it sets the reset vector (0xFFFE-0xFFFF).
FirmwareCheck checkFirmwareFile(const QString &path);
FirmwareCheck checkFirmwareText(const QByteArray &text);

// Consecutive bytes starting at one address.
struct ImageBlock
{
    uint32_t address = 0;
    QByteArray bytes;
};

// Descrambles the text and parses it strictly as TI-TXT: address lines, data lines of 1-16
// hex pairs separated by single spaces, blank lines, and an end line "q" that must be there
// (a text cut short has none). Lines are at most as long as the engine reads them.
// Returns the blocks in text order, or sets reason and returns false.
bool parseTiText(const QByteArray &text, QVector<ImageBlock> *blocks, QString *reason);

} // namespace bsl
