// What the TI-TXT writer writes, the reader reads back to the same bytes:
// arbitrary blocks (holes, odd addresses, the top of the 16-bit and 20-bit
// spaces, blocks that continue each other) written, then programmed into a
// well-behaved loader and compared byte for byte.
//
// Input: a mode byte (bit 0: 20-bit addresses, extended memory), then blocks
// of three address bytes, one word-count byte and the bytes.

#include "enginestate.h"
#include "fuzzsupport.h"
#include "memoryread.h"
#include "titext.h"

#include <cstdio>
#include <map>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const std::string file = fuzz::scratchDir() + "/written.txt";
    const bool extended = (data[0] & 0x01) != 0;
    const uint32_t top = extended ? 0x100000 : 0x10000; // first address past memory

    std::map<uint32_t, uint8_t> image;
    bsl::TiTxtWriter writer;
    if (!writer.tiTxtOpen(file.c_str()))
        std::abort();
    size_t pos = 1;
    while (pos + 4 <= size) {
        uint32_t address = uint32_t(data[pos]) | uint32_t(data[pos + 1]) << 8 | uint32_t(data[pos + 2]) << 16;
        address %= top;
        const uint16_t words = data[pos + 3];
        pos += 4;
        const size_t count = 2 * size_t(words);
        if (pos + count > size || address + count > top)
            break;
        // The reader programs flash: a byte written twice is not read back.
        bool overlaps = false;
        for (size_t i = 0; i < count && !overlaps; ++i)
            overlaps = image.count(address + uint32_t(i)) != 0;
        if (!overlaps) {
            writer.tiTxtWriteBlock(address, words, data + pos);
            for (size_t i = 0; i < count; ++i)
                image[address + uint32_t(i)] = data[pos + i];
        }
        pos += count;
    }
    writer.tiTxtClose();

    bsl::RunRequest request;
    request.settings.actions.extendedMemory = extended;
    fuzz::QuietSink sink;
    nvxtest::MemoryTransport transport;
    transport.recordTraffic = false;
    bsl::EngineSession run(request, sink, &transport);
    run.link.comOpen("fuzz", 300, 4);
    const int result = bsl::programTIText(run, file.c_str(), nullptr, bsl::kActProgram | bsl::kActVerify, 0);
    run.link.comClose();

    if (result != 0)
        std::abort();
    if (image.empty() != (bsl::checkTIText(file.c_str(), nullptr) != 0))
        std::abort();
    for (const auto &[address, value] : image) {
        if (transport.at(address) != value)
            std::abort();
    }
    for (const auto &[address, value] : transport.memory) {
        if (value != 0xFF && !image.count(address))
            std::abort();
    }
    return 0;
}
