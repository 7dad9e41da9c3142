#pragma once

// Pieces shared by the fuzz targets and the round-trip test: stand-ins for
// the serial port, a quiet engine sink and a scratch folder.

#include "bslframe.h"
#include "enginesink.h"
#include "seriallink.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace fuzz {

// Formats every message, as a real sink makes the engine do, and keeps none.
class QuietSink : public bsl::EngineSink
{
public:
    void message(const char *text) override { last = text ? text[0] : 0; }
    void status(int value) override { last = char(value); }
    char last = 0;
};

// Host side bytes cut into what a loader answers: the sync byte, and whole
// frames (by their L1 byte). Subclasses decide the answers.
class FrameTransport : public bsl::LinkTransport
{
public:
    qint64 write(const uint8_t *bytes, qint64 count) override
    {
        for (qint64 i = 0; i < count; ++i)
            take(bytes[i]);
        return count;
    }
    qint64 read(uint8_t *bytes, qint64 count) override
    {
        qint64 n = 0;
        for (; n < count && !input.empty(); ++n) {
            bytes[n] = input.front();
            input.pop_front();
        }
        return n;
    }
    qint64 bytesAvailable() override { return qint64(input.size()); }
    bool waitForReadyRead(int) override { return false; } // all answers are there at once
    void clearInput() override { input.clear(); }
    void sleep(unsigned long) override {}

protected:
    // Returns the answer; the frame is HDR CMD L1 L2 data CKL CKH.
    virtual std::vector<uint8_t> answerSync() = 0;
    virtual std::vector<uint8_t> answerFrame(const std::vector<uint8_t> &frame) = 0;

    std::deque<uint8_t> input;

private:
    void take(uint8_t b)
    {
        if (!inFrame) {
            if (b != bsl::kBslSync)
                return;
            const std::vector<uint8_t> answer = answerSync();
            input.insert(input.end(), answer.begin(), answer.end());
            // The host sends its frame only after an acknowledged sync.
            if (!answer.empty() && answer.front() == bsl::kBslAck) {
                inFrame = true;
                frame.clear();
            }
            return;
        }
        frame.push_back(b);
        if (frame.size() >= 4 && frame.size() >= size_t(frame[2]) + 6) {
            inFrame = false;
            const std::vector<uint8_t> answer = answerFrame(frame);
            input.insert(input.end(), answer.begin(), answer.end());
        }
    }

    bool inFrame = false;
    std::vector<uint8_t> frame;
};

// A loader whose answers come from the fuzz input: a sequence of chunks, each
// a length byte and that many bytes, one chunk per sync byte and per frame.
// Silence once the input is used up.
class ChunkTransport : public FrameTransport
{
public:
    ChunkTransport(const uint8_t *data, size_t size) : data(data), size(size) {}

protected:
    std::vector<uint8_t> answerSync() override { return next(); }
    std::vector<uint8_t> answerFrame(const std::vector<uint8_t> &) override { return next(); }

private:
    std::vector<uint8_t> next()
    {
        if (position >= size)
            return {};
        size_t n = data[position++];
        if (n > size - position)
            n = size - position;
        std::vector<uint8_t> chunk(data + position, data + position + n);
        position += n;
        return chunk;
    }
    const uint8_t *data;
    size_t size;
    size_t position = 0;
};

// A well-behaved loader over flash: writes can only clear bits (so padding
// with 0xFF changes nothing), reads answer data frames, 0x21 sets the upper
// address bits. Everything else is acknowledged.
class MemoryTransport : public FrameTransport
{
public:
    std::map<uint32_t, uint8_t> memory; // absent = erased (0xFF)
    int writes = 0;

    uint8_t at(uint32_t address) const
    {
        const auto it = memory.find(address);
        return it == memory.end() ? 0xFF : it->second;
    }

protected:
    std::vector<uint8_t> answerSync() override { return {bsl::kBslAck}; }
    std::vector<uint8_t> answerFrame(const std::vector<uint8_t> &f) override
    {
        const uint8_t cmd = f[1];
        const size_t l1 = f[2];
        if (l1 < 4 || f[3] != l1)
            return {bsl::kBslNak};
        const uint32_t address = (uint32_t(offset) << 16) + (f[4] | (f[5] << 8));
        const uint16_t length = uint16_t(f[6] | (f[7] << 8));
        switch (cmd) {
        case bsl::kCmdWriteBlock:
            ++writes;
            for (size_t i = 0; i + 4 < l1; ++i) {
                const uint8_t value = f[8 + i];
                if (value != 0xFF || memory.count(address + uint32_t(i)))
                    memory[address + uint32_t(i)] = uint8_t(at(address + uint32_t(i)) & value);
            }
            return {bsl::kBslAck};
        case bsl::kCmdReadBlock: {
            if (length > bsl::kMaxReplyData)
                return {bsl::kBslNak};
            std::vector<uint8_t> reply = {bsl::kBslDataFrame, 0, uint8_t(length), uint8_t(length)};
            for (uint16_t i = 0; i < length; ++i)
                reply.push_back(at(address + i));
            const uint16_t sum = bsl::bslChecksum(reply.data(), int(reply.size()));
            reply.push_back(uint8_t(sum & 0xFF));
            reply.push_back(uint8_t(sum >> 8));
            return reply;
        }
        case bsl::kCmdSetOffset: offset = length; return {bsl::kBslAck};
        default: return {bsl::kBslAck};
        }
    }

private:
    uint16_t offset = 0;
};

// Scratch folder for the files a target writes; the process works inside it.
inline const std::string &scratchDir()
{
    static const std::string dir = [] {
        char pattern[] = "/tmp/nvx-fuzz-XXXXXX";
        const char *made = mkdtemp(pattern);
        std::string path = made ? made : "/tmp";
        if (chdir(path.c_str()) != 0)
            std::abort();
        return path;
    }();
    return dir;
}

inline bool writeFile(const std::string &path, const void *data, size_t size)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// The files the engine runs of the targets name, in the scratch folder.
inline void makeEngineFiles()
{
    static bool made = false;
    if (made)
        return;
    made = true;
    fuzz::scratchDir();
    const char prog[] = "@1100\n31 40 00 0A B2 40 80 5A 20 01 FF 3F 30 41 00 00\n"
                        "@FFFE\n00 11\nq\n";
    const char loader[] = "@0300\n20 03 00 00 31 40 00 0A 30 41\nq\n";
    const char passwords[] = "@FFE0\nFF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\n"
                             "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\nq\n"
                             "@FFE0\n00 11 00 11 00 11 00 11 00 11 00 11 00 11 00 11\n"
                             "00 11 00 11 00 11 00 11 00 11 00 11 00 11 00 11\nq\n";
    const char patch[] = "@0220\n31 40 1A 02 30 41\nq\n";
    fuzz::writeFile("prog.txt", prog, sizeof prog - 1);
    fuzz::writeFile("loader.txt", loader, sizeof loader - 1);
    fuzz::writeFile("PW.txt", passwords, sizeof passwords - 1);
    fuzz::writeFile("PATCH.TXT", patch, sizeof patch - 1);
}

} // namespace fuzz
