#include "memoryread.h"

#include "bslframe.h"
#include "enginesink.h"
#include "enginestate.h"
#include "memoryoffset.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace bsl {

namespace {

constexpr int kBytesPerLine = 16;
constexpr uint64_t kAddressSpace = 0x100000; // 20 address bits
constexpr uint32_t kPageSize = 0x10000; // what one memory offset reaches

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

namespace {

// Any number of bytes, so that a read of odd length or from an odd start
// writes exactly the bytes asked for.
bool writeBytes(uint32_t address, size_t count, const uint8_t *bytes)
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
    for (size_t i = 0; i < count; ++i) {
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

} // namespace

bool tiTxtWriteBlock(uint32_t address, uint16_t words, const uint8_t *bytes)
{
    return writeBytes(address, 2 * size_t(words), bytes);
}

bool tiTxtClose()
{
    TiTxtWriterState &w = writer();
    if (!w.out)
        return false;
    if (w.lineCount != 0)
        std::fputs("\n", w.out);
    std::fputs("q\n", w.out);
    // A full disk shows only here: as a write error or when the rest is flushed.
    const bool written = std::ferror(w.out) == 0;
    const bool closed = std::fclose(w.out) == 0;
    w.out = nullptr;
    return written && closed;
}

int readMemoryToFile()
{
    const EngineSettings &settings = engineState().settings;
    const bool extended = settings.actions.extendedMemory;
    const uint32_t start = settings.start;
    const uint32_t length = settings.length;
    const uint32_t chunk = settings.maxFrameData;
    const uint64_t end = uint64_t(start) + length;

    // The read command carries 16 address bits; only the memory offset
    // (-x) reaches beyond them, and no target has more than 20. This bounds
    // the length, too.
    const uint64_t reach = extended ? kAddressSpace : kPageSize;
    if (end > reach) {
        enginePrint("Range 0x%lX-0x%lX is beyond 0x%lX%s\n", static_cast<unsigned long>(start),
                    static_cast<unsigned long>(end), static_cast<unsigned long>(reach),
                    extended ? "" : " (without -x)");
        return kRangeError;
    }
    // The loader reads whole words: read the even range around the one asked
    // for and write only the bytes asked for.
    const uint32_t first = start & ~1u;
    const uint32_t last = uint32_t((end + 1) & ~uint64_t(1));
    std::vector<uint8_t> buffer(last - first);

    enginePrint("Read memory to file: %s Start: 0x%-4lX Length 0x%-4lX %d\n", settings.readFile.c_str(),
                static_cast<unsigned long>(start), static_cast<unsigned long>(length),
                int(reinterpret_cast<intptr_t>(buffer.data())));

    uint32_t page = start >> 16;
    if (extended) {
        if (int code = setMemoryOffset(uint16_t(page)))
            return code;
    }
    // Chunks of maxFrameData bytes (even), none across a 64 KiB boundary: the
    // next page needs its own memory offset.
    for (uint32_t address = first; address < last;) {
        const uint32_t toBoundary = kPageSize - (address & 0xFFFF);
        const uint32_t count = std::min({chunk, last - address, toBoundary});
        if (extended && (address >> 16) != page) {
            page = address >> 16;
            if (int code = setMemoryOffset(uint16_t(page)))
                return code;
        }
        enginePrint("  Read memory Start: 0x%-4lX Length %d\n", static_cast<unsigned long>(address), int(count));
        if (int code = bslTxRx(kCmdReadBlock, uint16_t(address), uint16_t(count), nullptr,
                               buffer.data() + (address - first), int(count)))
            return code;
        address += count;
    }

    // Nothing is left as if it were this read's: a file that cannot be
    // written whole fails the read.
    bool written = tiTxtOpen(settings.readFile.c_str());
    if (written) {
        if (length > 0)
            written = writeBytes(start, length, buffer.data() + (start - first));
        written = tiTxtClose() && written;
    }
    if (!written)
        return kOutputFileError;

    if (extended) {
        if (int code = setMemoryOffset(0))
            return code;
    }
    return kOk;
}

} // namespace bsl
