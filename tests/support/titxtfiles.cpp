#include "titxtfiles.h"

#include "titxtimage.h"

QByteArray tiTxt(std::initializer_list<TestBlock> blocks, const QByteArray &lineEnd, bool withEnd)
{
    QByteArray text;
    for (const TestBlock &block : blocks) {
        const QByteArray bytes(reinterpret_cast<const char *>(block.bytes.data()), int(block.bytes.size()));
        text += titxt::formatBlock(block.address, bytes, lineEnd);
    }
    return withEnd ? text + 'q' + lineEnd : text;
}

QByteArray tiTxt(uint32_t address, const std::vector<uint8_t> &bytes, const QByteArray &lineEnd, bool withEnd)
{
    return tiTxt({{address, bytes}}, lineEnd, withEnd);
}
