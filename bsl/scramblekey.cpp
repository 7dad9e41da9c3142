#include "scramblekey.h"

namespace bsl {

// Stored longer than it is used: only the first kScrambleKeyLength characters count.
const char kScrambleKey[] = "NkDFfIl6mcCql8nMAqOlhY8IrMSuAKyb9sXV02Ktkeg4A5XqBtsn4PHhQ8HmzXxk5KNBRzvLXyS6DxgK"
                            "-unused-tail-";

static_assert(sizeof(kScrambleKey) > kScrambleKeyLength, "key shorter than its used length");

QByteArray scrambleText(const QByteArray &plain)
{
    QByteArray out = plain;
    for (int i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        const bool keptPlain = c == ' ' || c == '\r' || c == '\n' || c >= 0x80;
        if (!keptPlain) {
            const auto key = static_cast<unsigned char>(kScrambleKey[i % kScrambleKeyLength]);
            out[i] = static_cast<char>(static_cast<unsigned char>(c + 0x80) ^ key);
        }
    }
    return out;
}

QByteArray unscrambleText(const QByteArray &scrambled)
{
    QByteArray out = scrambled;
    for (int i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (c & 0x80) {
            const auto key = static_cast<unsigned char>(kScrambleKey[i % kScrambleKeyLength]);
            out[i] = static_cast<char>(static_cast<unsigned char>((c ^ key) + 0x80));
        }
    }
    return out;
}

} // namespace bsl
