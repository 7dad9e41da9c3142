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

} // namespace

TiTxtWriter::~TiTxtWriter()
{
    if (m_out)
        std::fclose(m_out);
}

bool TiTxtWriter::tiTxtOpen(const char *path)
{
    if (m_out)
        tiTxtClose();
    m_out = path ? std::fopen(path, "w") : nullptr;
    m_lineCount = 0;
    m_firstBlock = true;
    return m_out != nullptr;
}

bool TiTxtWriter::writeBytes(uint32_t address, size_t count, const uint8_t *bytes)
{
    if (!m_out)
        return false;
    if (m_firstBlock || address != m_nextAddress) {
        if (m_lineCount != 0)
            std::fputs("\n", m_out);
        std::fprintf(m_out, "@%04lX\n", static_cast<unsigned long>(address));
        m_nextAddress = address;
        m_lineCount = 0;
        m_firstBlock = false;
    }
    for (size_t i = 0; i < count; ++i) {
        std::fprintf(m_out, "%02X", bytes[i]);
        if (++m_lineCount == kBytesPerLine) {
            std::fputs("\n", m_out);
            m_lineCount = 0;
        } else {
            std::fputs(" ", m_out);
        }
    }
    m_nextAddress += uint32_t(count);
    return true;
}

bool TiTxtWriter::tiTxtWriteBlock(uint32_t address, uint16_t words, const uint8_t *bytes)
{
    return writeBytes(address, 2 * size_t(words), bytes);
}

bool TiTxtWriter::tiTxtClose()
{
    if (!m_out)
        return false;
    if (m_lineCount != 0)
        std::fputs("\n", m_out);
    std::fputs("q\n", m_out);
    // A full disk shows only here: as a write error or when the rest is flushed.
    const bool written = std::ferror(m_out) == 0;
    const bool closed = std::fclose(m_out) == 0;
    m_out = nullptr;
    return written && closed;
}

int readMemory(EngineSession &s)
{
    const EngineSettings &settings = s.settings;
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
        s.sink.print("Range 0x%lX-0x%lX is beyond 0x%lX%s\n", static_cast<unsigned long>(start),
                    static_cast<unsigned long>(end), static_cast<unsigned long>(reach),
                    extended ? "" : " (without -x)");
        return kRangeError;
    }
    // The loader reads whole words: read the even range around the one asked
    // for and write only the bytes asked for.
    const uint32_t first = start & ~1u;
    const uint32_t last = uint32_t((end + 1) & ~uint64_t(1));
    std::vector<uint8_t> buffer(last - first);

    const bool toFile = !s.toolkit.readToCaller;
    if (toFile)
        s.sink.print("Read memory to file: %s Start: 0x%-4lX Length 0x%-4lX %d\n", settings.readFile.c_str(),
                     static_cast<unsigned long>(start), static_cast<unsigned long>(length),
                     int(reinterpret_cast<intptr_t>(buffer.data())));
    else
        s.sink.print("Read memory Start: 0x%-4lX Length 0x%-4lX\n", static_cast<unsigned long>(start),
                     static_cast<unsigned long>(length));

    uint32_t page = start >> 16;
    if (extended) {
        if (int code = setMemoryOffset(s, uint16_t(page)))
            return code;
    }
    // Chunks of maxFrameData bytes (even), none across a 64 KiB boundary: the
    // next page needs its own memory offset.
    for (uint32_t address = first; address < last;) {
        const uint32_t toBoundary = kPageSize - (address & 0xFFFF);
        const uint32_t count = std::min({chunk, last - address, toBoundary});
        if (extended && (address >> 16) != page) {
            page = address >> 16;
            if (int code = setMemoryOffset(s, uint16_t(page)))
                return code;
        }
        s.sink.print("  Read memory Start: 0x%-4lX Length %d\n", static_cast<unsigned long>(address), int(count));
        if (int code = s.frames.bslTxRx(kCmdReadBlock, uint16_t(address), uint16_t(count), nullptr,
                                        buffer.data() + (address - first), int(count)))
            return code;
        address += count;
    }
    const auto asked = buffer.begin() + (start - first);
    s.memoryRead.assign(asked, asked + length);

    // Nothing is left as if it were this read's: a file that cannot be
    // written whole fails the read.
    if (toFile) {
        TiTxtWriter writer;
        bool written = writer.tiTxtOpen(settings.readFile.c_str());
        if (written) {
            if (length > 0)
                written = writer.writeBytes(start, length, s.memoryRead.data());
            written = writer.tiTxtClose() && written;
        }
        if (!written)
            return kOutputFileError;
    }

    if (extended) {
        if (int code = setMemoryOffset(s, 0))
            return code;
    }
    return kOk;
}

} // namespace bsl
