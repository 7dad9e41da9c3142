#include "memoryread.h"

#include "bslframe.h"
#include "enginesink.h"
#include "enginestate.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace bsl {

namespace {

constexpr int kBytesPerLine = 16;
constexpr uint32_t kMaxReadLength = 0x100000; // the whole 20-bit address space

// Lives for the whole process: a block that follows the last one directly
// continues its lines.
struct TiTxtWriterState
{
    FILE *out = nullptr;
    int lineCount = 0; // bytes on the current line, 0-15
    uint32_t nextAddress = 0x10000;
    bool firstBlock = true; // since tiTxtOpen
};

TiTxtWriterState &writer()
{
    static TiTxtWriterState s;
    return s;
}

} // namespace

bool tiTxtOpen(const char *path)
{
    TiTxtWriterState &w = writer();
    if (w.out)
        tiTxtClose();
    w.out = path ? std::fopen(path, "w") : nullptr;
    w.lineCount = 0;
    w.firstBlock = true;
    return w.out != nullptr;
}

bool tiTxtWriteBlock(uint32_t address, uint16_t words, const uint8_t *bytes)
{
    TiTxtWriterState &w = writer();
    if (!w.out)
        return false;
    if (w.firstBlock || address != w.nextAddress) {
        if (w.lineCount != 0)
            std::fputs("\n", w.out);
        std::fprintf(w.out, "@%04lX\n", static_cast<unsigned long>(address));
        w.nextAddress = address;
        w.lineCount = 0;
        w.firstBlock = false;
    }
    const int count = 2 * int(words);
    for (int i = 0; i < count; ++i) {
        std::fprintf(w.out, "%02X", bytes[i]);
        if (++w.lineCount == kBytesPerLine) {
            std::fputs("\n", w.out);
            w.lineCount = 0;
        } else {
            std::fputs(" ", w.out);
        }
    }
    w.nextAddress += uint32_t(count);
    return true;
}

bool tiTxtClose()
{
    TiTxtWriterState &w = writer();
    if (!w.out)
        return false;
    if (w.lineCount != 0)
        std::fputs("\n", w.out);
    std::fputs("q\n", w.out);
    std::fclose(w.out);
    w.out = nullptr;
    return true;
}

int readMemoryToFile()
{
    const EngineSettings &settings = engineState().settings;
    const bool extended = settings.actions.extendedMemory;
    const uint32_t start = settings.start;
    const uint32_t length = settings.length;
    const int chunk = settings.maxFrameData;

    // No target has more; a larger request is a typing error, not a read.
    if (length > kMaxReadLength)
        return kFrameError;
    // Slack for the frame layer's even alignment of the last chunk.
    std::vector<uint8_t> buffer(size_t(length) + 2);

    enginePrint("Read memory to file: %s Start: 0x%-4lX Length 0x%-4lX %d\n", settings.readFile.c_str(),
                static_cast<unsigned long>(start), static_cast<unsigned long>(length),
                int(reinterpret_cast<intptr_t>(buffer.data())));

    uint32_t readAddress = start;
    if (extended) {
        if (int code = bslTxRx(kCmdSetOffset, 0, uint16_t(start >> 16), nullptr, nullptr))
            return code;
        readAddress = start & 0xFFFF;
    }

    long long remaining = length;
    size_t position = 0;
    while (remaining > 0) {
        const unsigned long shown = (start & 0xFFFF0000UL) + readAddress;
        int count = 0;
        if (remaining > chunk) {
            enginePrint("  Read memory Start: 0x%-4lX Length %d\n", shown, chunk);
            count = chunk;
        } else {
            enginePrint("  Read memory Start: 0x%-4lX Length %ld\n", shown, static_cast<long>(remaining));
            count = int(remaining);
        }
        const int capacity = int(buffer.size() - position);
        if (int code = bslTxRx(kCmdReadBlock, uint16_t(readAddress), uint16_t(count), nullptr,
                               buffer.data() + position, capacity))
            return code;
        remaining -= chunk;
        readAddress += uint32_t(chunk);
        position += size_t(chunk);
    }

    if (tiTxtOpen(settings.readFile.c_str())) {
        // Whole words only; pieces that fit the 16-bit word count continue
        // the same lines.
        uint32_t words = length / 2;
        uint32_t offset = 0;
        while (words > 0) {
            const uint16_t piece = uint16_t(words > 0x8000 ? 0x8000 : words);
            tiTxtWriteBlock(start + offset, piece, buffer.data() + offset);
            offset += 2u * piece;
            words -= piece;
        }
        tiTxtClose();
    }

    if (extended) {
        if (int code = bslTxRx(kCmdSetOffset, 0, 0, nullptr, nullptr))
            return code;
    }
    return kOk;
}

} // namespace bsl
