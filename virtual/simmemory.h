// Sparse 20-bit memory of the virtual target and its TI-TXT reader/writer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace nvxsim {

class SparseMemory {
public:
    static constexpr uint32_t kAddressMask = 0xFFFFF; // 20-bit space
    static constexpr uint8_t kErased = 0xFF;

    uint8_t at(uint32_t address) const;
    void set(uint32_t address, uint8_t value);
    std::vector<uint8_t> read(uint32_t address, size_t length) const;
    void write(uint32_t address, const std::vector<uint8_t> &bytes);
    void erase(uint32_t first, uint32_t last); // inclusive range back to 0xFF

private:
    static constexpr uint32_t kPageSize = 256;
    using Page = std::array<uint8_t, kPageSize>;
    std::map<uint32_t, Page> pages_; // key: address / kPageSize
};

struct TiTxtBlock {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

// Parses plain TI-TXT ("@ADDR" lines, hex byte pairs, "q"); any line ends.
// Returns false (and leaves blocks empty) on a malformed text.
bool parseTiTxt(const std::string &text, std::vector<TiTxtBlock> &blocks);

// One TI-TXT section ("@ADDR" line and data lines, 16 bytes a line, no "q").
std::string formatTiTxtSection(const SparseMemory &memory, uint32_t address, size_t length,
                               bool skipErased);

} // namespace nvxsim
