#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace bsl {

struct EngineSession;

// TI-TXT writer: "@%04lX" address lines, 16 "%02X" bytes a line, "q" at the
// end. A block that follows the last one directly continues its lines.
class TiTxtWriter
{
public:
    TiTxtWriter() = default;
    ~TiTxtWriter();
    TiTxtWriter(const TiTxtWriter &) = delete;
    TiTxtWriter &operator=(const TiTxtWriter &) = delete;

    bool tiTxtOpen(const char *path);
    bool tiTxtWriteBlock(uint32_t address, uint16_t words, const uint8_t *bytes);
    // Any number of bytes, so that a read of odd length or from an odd start
    // writes exactly the bytes asked for.
    bool writeBytes(uint32_t address, size_t count, const uint8_t *bytes);
    // False when no file is open, or what was written did not reach it whole.
    bool tiTxtClose();

private:
    FILE *m_out = nullptr;
    int m_lineCount = 0; // bytes on the current line, 0-15
    uint32_t m_nextAddress = 0x10000;
    bool m_firstBlock = true; // since tiTxtOpen
};

// The read step of a run: start/length of the session's settings into its
// readFile as TI-TXT, or for the caller alone (RunOptions::readToCaller).
// Returns 0 or the code that ends the run.
int readMemory(EngineSession &s);

} // namespace bsl
