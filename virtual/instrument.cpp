// The default NVX7300 as it leaves the factory: calibrated, identified, with an application.
#include "simulator.h"

#include <algorithm>
#include <iterator>

namespace nvxsim {

namespace {

constexpr uint32_t kInfoStart = 0x1000;
constexpr size_t kInfoSize = 0x100;
constexpr uint32_t kApplication = 0x1100;
constexpr uint32_t kHandlers = 0x1140;  // one RETI per interrupt vector
constexpr uint32_t kVersionRecord = 0xFFDC;
constexpr uint32_t kVectors = 0xFFE0;

} // namespace

std::array<uint8_t, 32> defaultVectors()
{
    std::array<uint8_t, 32> v{};
    for (int i = 0; i < 15; ++i) {
        const uint16_t handler = static_cast<uint16_t>(kHandlers + 2 * i);
        v[2 * i] = static_cast<uint8_t>(handler & 0xFF);
        v[2 * i + 1] = static_cast<uint8_t>(handler >> 8);
    }
    v[30] = static_cast<uint8_t>(kApplication & 0xFF); // reset vector
    v[31] = static_cast<uint8_t>(kApplication >> 8);
    return v;
}

void loadDefaultInstrument(Simulator &sim, uint8_t major, uint8_t minor)
{
    std::vector<uint8_t> info(kInfoSize, 0xFF);
    info[0x80] = 0xAA; // 0x1080: the NVX7300 marker
    info[0x90] = major;
    info[0x91] = minor;
    // Segment A: factory calibration (ADC gain/offset and DCO tags), checked by a word at 0x10C0.
    const uint8_t adcTag[] = {0x08, 0x10, 0x7C, 0x80, 0x12, 0x00, 0xA3, 0x02, 0xF2, 0x01,
                              0x5E, 0x02, 0xC5, 0x01, 0x2F, 0x02, 0xE1, 0x01};
    const uint8_t dcoTag[] = {0x01, 0x08, 0x95, 0x8F, 0x9E, 0x8E, 0x92, 0x8D, 0xD0, 0x86};
    std::copy(std::begin(adcTag), std::end(adcTag), info.begin() + 0xDA);
    std::copy(std::begin(dcoTag), std::end(dcoTag), info.begin() + 0xF6);
    uint16_t check = 0;
    for (size_t i = 0xC2; i < kInfoSize; i += 2)
        check ^= static_cast<uint16_t>(info[i] | (info[i + 1] << 8));
    check = static_cast<uint16_t>(-check);
    info[0xC0] = static_cast<uint8_t>(check & 0xFF);
    info[0xC1] = static_cast<uint8_t>(check >> 8);
    sim.write(kInfoStart, info);

    // mov #0x0A00,SP; mov #0x5A80,&WDTCTL; bis.b #1,&P1DIR; loop: xor.b #1,&P1OUT; jmp loop
    sim.write(kApplication, {0x31, 0x40, 0x00, 0x0A, 0xB2, 0x40, 0x80, 0x5A, 0x20, 0x01,
                             0xD2, 0xD3, 0x22, 0x00, 0xD2, 0xE3, 0x21, 0x00, 0xFD, 0x3F});
    std::vector<uint8_t> handlers;
    for (int i = 0; i < 15; ++i) {
        handlers.push_back(0x00); // reti
        handlers.push_back(0x13);
    }
    sim.write(kHandlers, handlers);
    sim.write(kVersionRecord, {major, minor});
    const std::array<uint8_t, 32> vectors = defaultVectors();
    sim.write(kVectors, std::vector<uint8_t>(vectors.begin(), vectors.end()));
}

} // namespace nvxsim
