#include "titext.h"

#include "bslframe.h"
#include "enginesink.h"
#include "enginestate.h"
#include "memoryoffset.h"
#include "scramblekey.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace bsl {

namespace {

constexpr uint16_t kPatchEntry = 0x0220; // load PC here before each flash access
constexpr int kMaxLineValues = kMaxTiTextLine / 2; // generous bound of pairs on one line

struct FileCloser
{
    void operator()(FILE *f) const
    {
        if (f)
            std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool isLineEnd(char c)
{
    return c == '\n' || c == '\r' || c == ' ' || c == '\t';
}

// Length of the line without its trailing line end and blanks.
size_t contentLength(const char *line)
{
    size_t n = std::strlen(line);
    while (n > 0 && isLineEnd(line[n - 1]))
        --n;
    return n;
}

// Every "%3x" value at positions 0, 3, 6, ... of the line's content.
int scanDataLine(const char *line, uint8_t *out, int max)
{
    const size_t length = contentLength(line);
    int count = 0;
    for (size_t pos = 0; pos < length && count < max; pos += 3) {
        char item[4] = {};
        for (size_t i = 0; i < 3 && pos + i < length; ++i)
            item[i] = line[pos + i];
        unsigned value = 0;
        if (std::sscanf(item, "%3x", &value) != 1)
            break;
        out[count++] = uint8_t(value);
    }
    return count;
}

bool isHex(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

void showProgress(EngineSession &s, int &lastShown)
{
    const int kilobytes = (s.text.bytesCounted + 512) / 1024;
    if (kilobytes == lastShown)
        return;
    lastShown = kilobytes;
    s.sink.print("\r%02d KByte ", kilobytes);
    s.sink.print("%c", '\xDE');
    for (int i = 0; i < kilobytes; ++i)
        s.sink.print("%c", '\xB2');
    s.sink.print("%c", '\xDD');
}

// Next line of the buffer text, re-formed as "<text> \n"; false when no LF is left.
bool nextBufferLine(const char *text, size_t &position, std::string &line)
{
    const size_t size = std::strlen(text);
    if (position >= size)
        return false;
    // The LF search starts at the line's second character.
    const char *lf = std::strchr(text + position + 1, '\n');
    if (!lf)
        return false;
    line.assign(text + position, size_t(lf - (text + position)));
    line.append(" \n");
    position = size_t(lf - text) + 1;
    return true;
}

// Reads one file line of at most kMaxTiTextLine characters and descrambles it.
bool nextFileLine(FILE *file, char *line, int &keyPosition)
{
    std::memset(line, 0, kLineBufferSize);
    if (!std::fgets(line, kMaxTiTextLine + 1, file))
        return false;
    descrambleLine(line, keyPosition);
    return true;
}

enum class LineKind { Blank, Address, Data, End, Bad };

LineKind classify(const char *line, uint32_t *address, int *values)
{
    const size_t length = contentLength(line);
    if (length == 0)
        return LineKind::Blank;
    if (line[0] == 'q')
        return LineKind::End;
    if (line[0] == '@') {
        if (length < 2 || length > 9)
            return LineKind::Bad;
        for (size_t i = 1; i < length; ++i) {
            if (!isHex(line[i]))
                return LineKind::Bad;
        }
        *address = uint32_t(std::strtoul(line + 1, nullptr, 16));
        return LineKind::Address;
    }
    uint8_t scratch[kMaxLineValues + 1];
    const int n = parseDataLine(line, scratch, kMaxLineValues + 1);
    if (n <= 0)
        return LineKind::Bad;
    *values = n;
    return LineKind::Data;
}

} // namespace

void descrambleLine(char *line, int &keyPosition)
{
    for (int i = 0; i < kLineBufferSize - 1; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        // A line without LF (the last one, or a cut one) ends at its NUL; going
        // on would advance the key past bytes the file does not have.
        if (c == 0)
            return;
        if (c & 0x80) {
            const auto key = static_cast<unsigned char>(kScrambleKey[keyPosition]);
            line[i] = static_cast<char>(static_cast<unsigned char>((c ^ key) + 0x80));
        }
        keyPosition = (keyPosition + 1) % kScrambleKeyLength;
        if (c == '\n') {
            line[i + 1] = 0;
            return;
        }
    }
}

int parseDataLine(const char *line, uint8_t *out, int max)
{
    const size_t length = contentLength(line);
    int count = 0;
    size_t pos = 0;
    while (pos < length) {
        if (pos + 1 >= length || !isHex(line[pos]) || !isHex(line[pos + 1]))
            return -1;
        if (pos + 2 < length && line[pos + 2] != ' ')
            return -1;
        if (count < max) {
            char item[3] = {line[pos], line[pos + 1], 0};
            out[count] = uint8_t(std::strtoul(item, nullptr, 16));
        }
        ++count;
        pos += 3;
    }
    return count > max ? max : count;
}

int preparePatch(EngineSession &s)
{
    if (!s.target.patchLoaded)
        return kOk;
    return s.frames.bslTxRx(kCmdLoadPc, kPatchEntry, 0, nullptr, nullptr);
}

int verifyBlock(EngineSession &s, uint32_t address, uint16_t count, unsigned actions)
{
    TiTextState &t = s.text;
    const bool extended = s.settings.actions.extendedMemory;

    if (!(actions & (kActVerify | kActEraseCheck))) {
        if (!(actions & kActFastEraseCheck))
            return kOk;
        s.sink.print("Fast Check starting at %hu, %i bytes... ", static_cast<unsigned short>(address), int(count));
        if (int code = preparePatch(s))
            return code;
        const int code = s.frames.bslTxRx(kCmdEraseCheck, uint16_t(address), count, nullptr, nullptr);
        s.sink.print("Error: %i\n", code);
        return code != kOk ? kEraseCheckFailed : kOk;
    }

    s.sink.print("Check starting at %hu, %i bytes... ", static_cast<unsigned short>(address), int(count));
    if (extended) {
        if (setMemoryOffset(s, uint16_t(address >> 16)) != kOk)
            return kFrameError;
        address &= 0xFFFF;
    }
    // The patch serves the command that follows it: nothing may come between.
    if (int code = preparePatch(s))
        return code;
    const int code =
        s.frames.bslTxRx(kCmdReadBlock, uint16_t(address), count, nullptr, t.replyBuffer, sizeof t.replyBuffer);
    s.sink.print("Error: %i\n", code);
    if (code != kOk)
        return code;
    // A read from an odd address starts one byte lower: that byte belongs to
    // the neighbour, and the block's last byte comes after it.
    const int skew = int(address & 1);
    for (int i = 0; i < count; ++i) {
        const uint8_t read = t.replyBuffer[i + skew];
        if ((actions & kActVerify) && read != t.blockBuffer[i]) {
            std::optional<uint32_t> &first = s.target.firstDifference;
            if (!first)
                first = address + uint32_t(i);
            s.sink.print("Verification failed at %lu (%x, %x)\n", static_cast<unsigned long>(address + uint32_t(i)),
                         read, t.blockBuffer[i]);
            return kVerifyFailed;
        }
        if ((actions & kActEraseCheck) && read != 0xFF) {
            s.sink.print("Erase Check failed at %lu (%x)\n", static_cast<unsigned long>(address + uint32_t(i)), read);
            return kEraseCheckFailed;
        }
    }
    if (extended)
        return setMemoryOffset(s, 0) != kOk ? kFrameError : kOk;
    return kOk;
}

int programBlock(EngineSession &s, uint32_t address, uint16_t count, unsigned actions)
{
    TiTextState &t = s.text;
    const bool extended = s.settings.actions.extendedMemory;

    if (actions & kActPassword) {
        const int code = s.frames.bslTxRx(kCmdRxPassword, uint16_t(address), count, t.blockBuffer, nullptr);
        if (code == kOk)
            s.target.unlocked = true; // a password frame the loader took
        return code;
    }

    if (actions & kActEraseCheck) {
        if (int code = verifyBlock(s, address, count, kActEraseCheck))
            return code;
    } else if (actions & kActFastEraseCheck) {
        if (int code = verifyBlock(s, address, count, kActFastEraseCheck))
            return code;
    }

    if (actions & kActProgram) {
        s.sink.print("Program starting at %ld %i bytes... ", static_cast<long>(address), int(count));
        s.sink.status(kStatusProgress);
        if (extended) {
            if (int code = setMemoryOffset(s, uint16_t(address >> 16)))
                return code;
        }
        s.frames.bslBeginWrite(); // a write sent again goes with its patch entry
        if (int code = preparePatch(s))
            return code;
        // The frame layer pads an odd start in place; the copy keeps
        // blockBuffer as read for the verification that follows.
        uint8_t out[sizeof t.blockBuffer];
        std::memcpy(out, t.blockBuffer, count);
        const int code = s.frames.bslTxRx(kCmdWriteBlock, uint16_t(address), count, out, nullptr);
        s.sink.print("Error: %i\n", code);
        if (code != kOk)
            return code;
        if (extended && setMemoryOffset(s, 0) != kOk)
            return kFrameError;
    }
    return verifyBlock(s, address, count, (actions & kActVerify) ? unsigned(kActVerify) : 0u);
}

int programTIText(EngineSession &s, const char *file, const char *bufferText, unsigned actions, int skipLines)
{
    TiTextState &t = s.text;
    const int maxData = s.settings.maxFrameData;

    t.bytesCounted = 0;
    t.keyPosition = 0;

    FilePtr source;
    bool fromBuffer = bufferText != nullptr;
    size_t bufferPosition = 0;
    if (!fromBuffer) {
        source.reset(file ? std::fopen(file, "rb") : nullptr);
        if (!source) {
            t.failedFile = file ? file : "";
            return kInputFileError;
        }
    }

    uint32_t address = 0;
    int pending = 0;
    int linesTaken = 0;
    int lastShown = -1;
    int result = kOk;
    char fileLine[kLineBufferSize];
    std::string bufferLine;

    auto sendPending = [&](bool withProgress) {
        const int count = pending;
        pending = 0;
        const int code = programBlock(s, address, uint16_t(count), actions);
        t.bytesCounted += count;
        if (withProgress) {
            address += uint32_t(count);
            showProgress(s, lastShown);
        }
        return code;
    };

    for (;;) {
        const char *line = nullptr;
        if (fromBuffer) {
            if (nextBufferLine(bufferText, bufferPosition, bufferLine))
                line = bufferLine.c_str();
        } else if (nextFileLine(source.get(), fileLine, t.keyPosition)) {
            line = fileLine;
            s.sink.print("programTIText password line is %s", fileLine);
            if (linesTaken++ < skipLines)
                continue;
        }

        if (!line || line[0] == 'q') {
            if (pending > 0) {
                result = sendPending(false);
                if (result != kOk)
                    break;
            }
            if (!fromBuffer)
                break;
            fromBuffer = false;
            source.reset(file ? std::fopen(file, "rb") : nullptr);
            if (!source) {
                t.failedFile = file ? file : "";
                return kInputFileError;
            }
            continue;
        }

        if (line[0] == '@') {
            if (pending > 0) {
                result = sendPending(false);
                if (result != kOk)
                    break;
            }
            unsigned long value = 0;
            std::sscanf(line + 1, "%lx", &value);
            address = uint32_t(value);
            pending = 0;
            continue;
        }

        // A buffer line has no length limit: every value on it goes out.
        std::vector<uint8_t> values(std::strlen(line) / 3 + 1);
        const int n = scanDataLine(line, values.data(), int(values.size()));
        for (int i = 0; i < n && result == kOk; ++i) {
            // Only lines far longer than 16 values can fill a whole frame.
            if (pending >= maxData)
                result = sendPending(true);
            t.blockBuffer[pending++] = values[i];
        }
        if (result == kOk && pending > maxData - 16)
            result = sendPending(true);
        if (result != kOk)
            break;
    }

    s.sink.print("\r \r");
    return result;
}

int countTITextBlocks(const char *file, const char *bufferText, int maxData)
{
    // programTIText's reading and its rule for where a block ends, counted.
    int blocks = 0;
    int pending = 0;
    const auto endBlock = [&] {
        if (pending > 0)
            ++blocks;
        pending = 0;
    };
    const auto takeLine = [&](const char *line) { // false at the end line
        if (line[0] == 'q')
            return false;
        if (line[0] == '@') {
            endBlock();
            return true;
        }
        std::vector<uint8_t> values(std::strlen(line) / 3 + 1);
        const int n = scanDataLine(line, values.data(), int(values.size()));
        for (int i = 0; i < n; ++i) {
            if (pending >= maxData)
                endBlock();
            ++pending;
        }
        if (pending > maxData - 16)
            endBlock();
        return true;
    };
    if (bufferText) {
        size_t position = 0;
        std::string line;
        while (nextBufferLine(bufferText, position, line) && takeLine(line.c_str())) {
        }
        endBlock();
    }
    if (!file)
        return blocks;
    FilePtr source(std::fopen(file, "rb"));
    if (!source)
        return -1;
    int keyPosition = 0;
    char line[kLineBufferSize];
    while (nextFileLine(source.get(), line, keyPosition) && takeLine(line)) {
    }
    endBlock();
    return blocks;
}

int txPassword(EngineSession &s, const char *passwordFile)
{
    if (!passwordFile) {
        s.sink.print("Transmit standard password...\n");
        std::memset(s.text.blockBuffer, 0xFF, kPasswordLength);
        return programBlock(s, kPasswordAddress, kPasswordLength, kActPassword);
    }
    s.sink.print("Transmit PSW file \"%s\"...\n", passwordFile);
    return programTIText(s, passwordFile, nullptr, kActPassword, s.settings.passwordIndex);
}

int checkTIText(const char *file, const char *bufferText, std::string *failedFile)
{
    std::string ignored;
    std::string &failed = failedFile ? *failedFile : ignored;
    // The buffer text: its lines up to the last LF, as the reader takes them.
    if (bufferText) {
        int dataBytes = 0;
        bool ended = false;
        size_t position = 0;
        std::string line;
        while (!ended && nextBufferLine(bufferText, position, line)) {
            uint32_t address = 0;
            int values = 0;
            switch (classify(line.c_str(), &address, &values)) {
            case LineKind::Bad: failed = "buffer"; return kInputFileError;
            case LineKind::End: ended = true; break;
            case LineKind::Data: dataBytes += values; break;
            default: break;
            }
        }
        if (dataBytes == 0) {
            failed = "buffer";
            return kInputFileError;
        }
    }

    FilePtr source(file ? std::fopen(file, "rb") : nullptr);
    if (!source) {
        failed = file ? file : "";
        return kInputFileError;
    }
    int keyPosition = 0;
    int dataBytes = 0;
    char line[kLineBufferSize];
    while (nextFileLine(source.get(), line, keyPosition)) {
        // A line longer than the reader takes would be cut mid-value.
        if (!std::strchr(line, '\n') && !std::feof(source.get()))
            dataBytes = -1;
        uint32_t address = 0;
        int values = 0;
        const LineKind kind = dataBytes < 0 ? LineKind::Bad : classify(line, &address, &values);
        if (kind == LineKind::Bad) {
            failed = file;
            return kInputFileError;
        }
        if (kind == LineKind::End)
            break;
        if (kind == LineKind::Data)
            dataBytes += values;
    }
    if (dataBytes == 0) {
        failed = file;
        return kInputFileError;
    }
    return kOk;
}

} // namespace bsl
