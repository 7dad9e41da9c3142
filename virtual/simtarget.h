// Device side of the bootstrap-loader protocol: byte-level frame reception, commands,
// flash rules, password lock and injected faults. Not thread-safe; the Simulator guards it.
#pragma once

#include "simmemory.h"
#include "simulator.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace nvxsim {

class Target {
public:
    using Clock = std::chrono::steady_clock;

    explicit Target(const Config &config);

    // Feeds one received byte; returns the bytes to answer with (often none).
    std::vector<uint8_t> feed(uint8_t byte, Clock::time_point now);

    void sessionStart(); // host opened the port: loader restarted, locked
    void sessionEnd();   // host closed the port: the application runs, a pulled cable is replugged

    SparseMemory memory;
    Config config;
    Faults faults;
    Stats stats;
    std::vector<Command> log;
    bool locked = true;
    int lineBaud = 0; // current pacing rate, 0 = unpaced
    Clock::time_point arrival{}; // when the byte being fed reached the target

private:
    enum class RxState { Idle, Synced, Frame, Discard };

    bool deaf() const;
    std::vector<uint8_t> completeFrame();
    std::vector<uint8_t> execute(uint8_t cmd, uint16_t address, uint16_t length,
                                 const std::vector<uint8_t> &data, bool afterPatchEntry);
    std::vector<uint8_t> writeMemory(uint32_t address, uint16_t length,
                                     const std::vector<uint8_t> &data, bool afterPatchEntry);
    std::vector<uint8_t> eraseSegment(uint32_t address, uint16_t length);
    std::vector<uint8_t> loadPc(uint16_t address);
    bool startsReplacementLoader(uint16_t entry, bool &largeModel) const;
    void restartLoader();
    std::vector<uint8_t> changeBaud(uint16_t clockWord, uint16_t mode);
    uint32_t effective(uint16_t address) const;
    bool patchRequired() const;
    void record(const Command &command);
    void spoilReply(std::vector<uint8_t> &reply);

    RxState state_ = RxState::Idle;
    std::vector<uint8_t> frame_;
    Clock::time_point lastByte_{};
    uint16_t offset_ = 0;          // 0x21 memory offset (upper address bits)
    bool lastWasPatchEntry_ = false;
    bool hungUp_ = false;          // the pulled-cable fault has fired this session
    bool garbled_ = false;         // the line runs at a rate it cannot carry, this session
    uint32_t rate_ = 9600;         // the loader's rate, paced or not
    bool replacementLoader_ = false; // a loader loaded into RAM runs instead of the ROM loader
    std::vector<bool> ramWritten_; // RAM bytes written this session (where a loader image may be)
};

// Checksum of a frame body: inverted XOR of its 16-bit little-endian words.
uint16_t frameChecksum(const uint8_t *bytes, size_t count);

} // namespace nvxsim
