#pragma once

#include <cstdint>
#include <string>

namespace bsl {

struct EngineSession;

// Actions for programTIText / programBlock / verifyBlock (combinable).
enum TiTextAction : unsigned {
    kActProgram = 0x01,
    kActVerify = 0x02,
    kActEraseCheck = 0x04,
    kActPassword = 0x08,
    kActFastEraseCheck = 0x10,
};

constexpr int kMaxTiTextLine = 126; // characters of one line, line end included
constexpr int kLineBufferSize = 129; // what descrambleLine may walk, plus NUL

// Reads TI-TXT from bufferText (if given) and then from file, in blocks of at
// most maxFrameData bytes. Returns 0, a frame-layer code, 96, 97 or 98; the
// count and a failing name stay in the session's TiTextState.
int programTIText(EngineSession &s, const char *file, const char *bufferText, unsigned actions, int skipLines);
// The bytes are in the session's blockBuffer.
int programBlock(EngineSession &s, uint32_t address, uint16_t count, unsigned actions);
// How many blocks (and so progress ticks) programTIText with kActProgram
// sends for the same buffer text and file at maxData bytes a frame; file
// may be null. -1 when the file cannot be opened. Sends nothing.
int countTITextBlocks(const char *file, const char *bufferText, int maxData);
int verifyBlock(EngineSession &s, uint32_t address, uint16_t count, unsigned actions);
int preparePatch(EngineSession &s);
// The record at the session's passwordIndex; none: the standard password.
int txPassword(EngineSession &s, const char *passwordFile);

// Undoes the scrambled form in place, continuing at the reader's key
// position; plain text passes unchanged. Stops after LF or at the end of the
// string.
void descrambleLine(char *line, int &keyPosition);

// Checks that a file (and a buffer text, if given) reads as TI-TXT, plain or
// scrambled, with at least one byte of data. Returns 0 or 96, and then the
// failing name in failedFile ("buffer" for the buffer text).
int checkTIText(const char *file, const char *bufferText, std::string *failedFile = nullptr);

// Byte values of one data line, every pair whatever the line end. Returns the
// count written to out (at most max), or -1 when the line is not hex pairs.
int parseDataLine(const char *line, uint8_t *out, int max);

} // namespace bsl
