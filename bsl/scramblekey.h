#pragma once

#include <QByteArray>

namespace bsl {

// The key of the scrambled TI-TXT form. Scrambled files keep spaces, CR and
// LF plain and store every other character with its high bit set; the key
// position advances with every byte of the file and wraps at 80.
constexpr int kScrambleKeyLength = 80;
extern const char kScrambleKey[];

// Whole-text transforms used by the scramble tool and by tests. Both start at
// key position 0, as the reader does for every file.
QByteArray scrambleText(const QByteArray &plain);
QByteArray unscrambleText(const QByteArray &scrambled);

} // namespace bsl
