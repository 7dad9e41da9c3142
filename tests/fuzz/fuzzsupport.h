#pragma once

// Pieces shared by the fuzz targets and the round-trip test: a loader that
// answers from the fuzz input, a quiet engine sink and a scratch folder. The
// loader over flash is nvxtest::MemoryTransport.

#include "enginesink.h"
#include "recordingtransport.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// A loader whose answers come from the fuzz input: a sequence of chunks, each
// a length byte and that many bytes, one chunk per sync byte and per frame.
// Silence once the input is used up.
class ChunkTransport : public nvxtest::LoaderTransport
{
public:
    ChunkTransport(const uint8_t *data, size_t size) : data(data), size(size) { recordTraffic = false; }

protected:
    QByteArray answerSync() override { return next(); }
    QByteArray answerFrame(const QByteArray &) override { return next(); }

private:
    QByteArray next()
    {
        if (position >= size)
            return {};
        size_t n = data[position++];
        if (n > size - position)
            n = size - position;
        const QByteArray chunk(reinterpret_cast<const char *>(data + position), int(n));
        position += n;
        return chunk;
    }
    const uint8_t *data;
    size_t size;
    size_t position = 0;
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
