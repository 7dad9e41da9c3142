#pragma once

#include <QByteArray>
#include <QString>

namespace bsl {

struct FirmwareCheck { bool ok = false; QString reason; };   // reason: one line saying which check failed

// The file descrambles (plain passes unchanged) and parses as TI-TXT, all its data lies in the
// instrument's main flash (0x1100-0xFFFF), and it sets the reset vector (0xFFFE-0xFFFF).
FirmwareCheck checkFirmwareFile(const QString &path);
FirmwareCheck checkFirmwareText(const QByteArray &text);

} // namespace bsl
