#include "titxtimage.h"

#include "scramblekey.h"

namespace titxt {

namespace {

constexpr int kMaxLineWithEnd = 126; // the engine reads lines in pieces of this size
constexpr int kMaxAddressDigits = 8;
constexpr int kMinAddressDigits = 4; // "@0200", as the engine's writer has it

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

bool parseDataValues(const QByteArray &content, QByteArray *out)
{
    // "AA BB CC": pairs at 0, 3, 6, ... with one space between them.
    if (content.size() % 3 != 2)
        return false;
    const int count = (content.size() + 1) / 3;
    if (count > kBytesPerLine)
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

QByteArray hexByte(uchar value)
{
    return QByteArray::number(value, 16).rightJustified(2, '0').toUpper();
}

} // namespace

bool parse(const QByteArray &text, Image *image, QString *reason, int *end)
{
    image->clear();
    if (text.contains('\0')) {
        *reason = QStringLiteral("not a text file");
        return false;
    }
    // Descrambling keeps every byte in its place, so offsets hold for both forms.
    const QByteArray plain = bsl::unscrambleText(text);

    uint64_t address = 0;
    bool haveBlock = false;
    int lineNumber = 0;
    int position = 0;
    while (position < plain.size()) {
        ++lineNumber;
        const int lf = plain.indexOf('\n', position);
        const int next = lf < 0 ? plain.size() : lf + 1;
        QByteArray line = plain.mid(position, next - position);
        position = next;
        if (line.size() > kMaxLineWithEnd) {
            *reason = QStringLiteral("line %1 is longer than %2 characters").arg(lineNumber).arg(kMaxLineWithEnd);
            return false;
        }
        while (!line.isEmpty() && (line.endsWith('\n') || line.endsWith('\r') || line.endsWith(' ')
                                   || line.endsWith('\t')))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if (line[0] == 'q') {
            if (image->isEmpty()) {
                *reason = QStringLiteral("no data before the end line");
                return false;
            }
            if (end)
                *end = position;
            return true;
        }
        if (line[0] == '@') {
            const QByteArray digits = line.mid(1);
            bool ok = digits.size() >= 1 && digits.size() <= kMaxAddressDigits;
            for (char c : digits)
                ok = ok && isHex(c);
            if (!ok) {
                *reason = QStringLiteral("line %1 is not a valid address line").arg(lineNumber);
                return false;
            }
            address = digits.toULongLong(nullptr, 16);
            if (address >= kAddressLimit) {
                *reason = QStringLiteral("line %1 names an address beyond 20 bits").arg(lineNumber);
                return false;
            }
            haveBlock = false;
            continue;
        }
        QByteArray values;
        if (!parseDataValues(line, &values)) {
            *reason = QStringLiteral("line %1 is not TI-TXT").arg(lineNumber);
            return false;
        }
        if (address + uint64_t(values.size()) > kAddressLimit) {
            *reason = QStringLiteral("line %1 runs past the 20-bit address space").arg(lineNumber);
            return false;
        }
        if (!haveBlock) {
            image->append(Block{uint32_t(address), QByteArray()});
            haveBlock = true;
        }
        image->last().bytes += values;
        address += uint64_t(values.size());
    }
    *reason = QStringLiteral("no end line: the text is incomplete");
    return false;
}

QByteArray formatBlock(uint32_t address, const QByteArray &bytes, const QByteArray &lineEnd)
{
    QByteArray text = '@' + QByteArray::number(address, 16).toUpper().rightJustified(kMinAddressDigits, '0') + lineEnd;
    for (int i = 0; i < bytes.size(); ++i) {
        text += hexByte(uchar(bytes[i]));
        const bool lineFull = i % kBytesPerLine == kBytesPerLine - 1 || i + 1 == bytes.size();
        text += lineFull ? lineEnd : QByteArray(" ");
    }
    return text;
}

QByteArray format(const Image &image, const QByteArray &lineEnd)
{
    QByteArray text;
    for (const Block &block : image)
        text += formatBlock(block.address, block.bytes, lineEnd);
    return text + 'q' + lineEnd;
}

} // namespace titxt
