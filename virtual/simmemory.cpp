#include "simmemory.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace nvxsim {

uint8_t SparseMemory::at(uint32_t address) const
{
    address &= kAddressMask;
    const auto it = pages_.find(address / kPageSize);
    return it == pages_.end() ? kErased : it->second[address % kPageSize];
}

void SparseMemory::set(uint32_t address, uint8_t value)
{
    address &= kAddressMask;
    auto it = pages_.find(address / kPageSize);
    if (it == pages_.end()) {
        if (value == kErased)
            return;
        Page page;
        page.fill(kErased);
        it = pages_.emplace(address / kPageSize, page).first;
    }
    it->second[address % kPageSize] = value;
}

std::vector<uint8_t> SparseMemory::read(uint32_t address, size_t length) const
{
    std::vector<uint8_t> out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i)
        out.push_back(at(address + static_cast<uint32_t>(i)));
    return out;
}

void SparseMemory::write(uint32_t address, const std::vector<uint8_t> &bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i)
        set(address + static_cast<uint32_t>(i), bytes[i]);
}

void SparseMemory::erase(uint32_t first, uint32_t last)
{
    first &= kAddressMask;
    last &= kAddressMask;
    for (auto it = pages_.begin(); it != pages_.end();) {
        const uint32_t pageStart = it->first * kPageSize;
        const uint32_t pageEnd = pageStart + kPageSize - 1;
        if (pageEnd < first || pageStart > last) {
            ++it;
        } else if (pageStart >= first && pageEnd <= last) {
            it = pages_.erase(it);
        } else {
            for (uint32_t a = std::max(first, pageStart); a <= std::min(last, pageEnd); ++a)
                it->second[a - pageStart] = kErased;
            ++it;
        }
    }
}

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHex(const std::string &token, uint32_t &value)
{
    if (token.empty() || token.size() > 5) // 20-bit addresses at most
        return false;
    value = 0;
    for (char c : token) {
        const int v = hexValue(c);
        if (v < 0)
            return false;
        value = value * 16 + static_cast<uint32_t>(v);
    }
    return true;
}

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

std::vector<std::string> splitWords(const std::string &line)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

} // namespace

bool parseTiTxt(const std::string &text, std::vector<TiTxtBlock> &blocks)
{
    blocks.clear();
    std::vector<TiTxtBlock> parsed;
    bool ended = false;
    for (const std::string &line : splitLines(text)) {
        const std::vector<std::string> words = splitWords(line);
        if (words.empty())
            continue;
        if (ended)
            return false; // nothing may follow "q"
        if (words[0][0] == '@') {
            uint32_t address = 0;
            if (words.size() != 1 || !parseHex(words[0].substr(1), address))
                return false;
            parsed.push_back({address, {}});
            continue;
        }
        if (words.size() == 1 && (words[0] == "q" || words[0] == "Q")) {
            ended = true;
            continue;
        }
        if (parsed.empty())
            return false; // data before any address line
        for (const std::string &w : words) {
            uint32_t value = 0;
            if (w.size() != 2 || !parseHex(w, value))
                return false;
            parsed.back().bytes.push_back(static_cast<uint8_t>(value));
        }
    }
    blocks = std::move(parsed);
    return true;
}

std::string formatTiTxtSection(const SparseMemory &memory, uint32_t address, size_t length,
                               bool skipErased)
{
    std::string out;
    char buf[16];
    bool needAddress = true;
    size_t i = 0;
    while (i < length) {
        const size_t row = std::min<size_t>(16, length - i);
        const uint32_t rowAddress = (address + static_cast<uint32_t>(i)) & SparseMemory::kAddressMask;
        const std::vector<uint8_t> bytes = memory.read(rowAddress, row);
        bool erased = true;
        for (uint8_t b : bytes)
            erased = erased && b == SparseMemory::kErased;
        if (skipErased && erased) {
            needAddress = true;
        } else {
            if (needAddress) {
                std::snprintf(buf, sizeof buf, "@%04X\n", static_cast<unsigned>(rowAddress));
                out += buf;
                needAddress = false;
            }
            for (size_t k = 0; k < bytes.size(); ++k) {
                std::snprintf(buf, sizeof buf, k == 0 ? "%02X" : " %02X", bytes[k]);
                out += buf;
            }
            out += '\n';
        }
        i += row;
    }
    return out;
}

} // namespace nvxsim
