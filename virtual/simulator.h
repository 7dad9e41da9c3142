// Virtual NVX7300: an MSP430 bootstrap-loader target that answers on a pseudo-terminal,
// so the real serial path (QSerialPort on the slave side) runs against it.
//
// A pty carries no DTR/RTS, so the simulator takes the host opening the port as the loader entry
// sequence (loader restarted, locked) and the host closing it as the reset line released (the
// application starts, if there is one). A real instrument left in its loader by a run without the
// final reset would stay there until reset or power-cycle; here it starts its application when the
// port closes, as it would on the next reconnect. Consequently a user-called run (no entry
// sequence) always meets a freshly started, locked loader.
//
// Replacement loaders: a load PC into RAM at the entry word of an image written there in this
// session (image head: entry word, model word) starts that loader. A small model (model word 0)
// keeps the unlocked state; a large model wants the password again. The identity block stays
// readable and flash needs no patch under the new loader. A load PC to 0x0C22 restarts the ROM
// loader (locked, patch rules of the ROM loader again); any other jump into RAM locks as well.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nvxsim {

// Injected faults. Frame thresholds compare with Stats::frames (the count of complete frames
// since start or the last resetStats()), so "after N frames" means "once Stats::frames >= N".
struct Faults {
    bool noSyncReply = false;            // never answer the sync byte
    int nakAfterFrames = -1;             // >=0: every frame after this many complete frames gets NAK (0xA0)
    int corruptChecksumAfterFrames = -1; // >=0: data-frame replies after N frames carry a wrong checksum
    int silenceAfterFrames = -1;         // >=0: after N frames answer nothing at all (sync included) until faults change
    int hangUpAfterFrames = -1;          // >=0: pulled cable: after N frames deaf and mute until the host closes
                                         //      the port; then "replugged" (fault cleared, memory kept)
    bool refuseBaudChange = false;       // NAK the 0x20 command
    int muteFrameAfterFrames = -1;       // >=0: frames after N frames get no reply at all (the sync byte
                                         //      before them is still answered)
    int badReplyLengthAfterFrames = -1;  // >=0: data-frame replies after N frames carry L2 != L1
    int badReplyCommandAfterFrames = -1; // >=0: data-frame replies after N frames carry a non-zero command
                                         //      byte (both header faults keep the checksum consistent)
    int corruptOneReplyAfterFrames = -1; // >=0: the first data-frame reply after N frames carries a wrong
                                         //      checksum (a bit flipped on the line), then the fault is spent
    bool corruptIdentityAfterErase = false; // the reply to the first identity read (0x0FF0) after a mass erase
                                         //      carries a wrong checksum, then the fault is spent
    int flipTwoBitsInWriteAt = -1;       // >=0: the next write frame holding this address and the one two above
                                         //      arrives with bit 0 of both flipped: its checksum still holds
    int longFramesFailAbove = 0;         // >0: a line that garbles long frames (more than 64 bytes) from the host
                                         //      at rates above this one: they arrive with a wrong checksum
    int lineFailsAbove = 0;              // >0: a line (cable, bridge) that garbles rates above this one: an
                                         //      accepted change to such a rate leaves the target deaf and mute
                                         //      until the host closes the port
};

struct Config {
    uint8_t family[2] = {0xF1, 0x49};  // identity block 0x0FF0 bytes 0,1
    uint8_t process[2] = {0x00, 0x00}; // bytes 2,3
    uint16_t bslVersion = 0x0161;      // bytes 10 (major), 11 (minor); <= 0x0110 needs the flash patch
    int baud = 0;                      // 0: unpaced; else line paced at this rate, 11 bits a byte
    bool applicationRecordsVersion = true; // the application copies its version record into 0x1090/0x1091
};

// One complete frame as received. address and length are the 16-bit fields as sent (the 0x21
// offset is not folded in); acked is true for an ACK or a data-frame reply. A frame refused for
// its length bytes (L1 != L2, odd, out of range) is NAKed at once and logged with address and
// length 0.
struct Command {
    uint8_t cmd;
    uint32_t address;
    uint16_t length;
    bool acked;
    int session = 0; // Stats::sessions when it came: the host's open port it came through
    std::chrono::steady_clock::time_point at{}; // when its last byte reached the target (at the paced rate)
};

struct Stats {
    int frames = 0;        // complete frames received (sync bytes not counted)
    int syncs = 0;
    int massErases = 0;
    long long bytesIn = 0, bytesOut = 0; // every byte on the wire, each direction
    int sessions = 0;      // times the host opened the port
};

class Simulator {
public:
    explicit Simulator(const Config &config = Config());
    ~Simulator(); // stops the thread, closes the pty
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    bool start(); // openpty + serve thread; false on failure
    void stop();
    std::string slavePath() const; // e.g. /dev/pts/7

    // Memory (thread-safe). Sparse 20-bit address space, 0xFF when erased.
    std::vector<uint8_t> read(uint32_t address, size_t length) const;
    void write(uint32_t address, const std::vector<uint8_t> &bytes); // direct load, no flash rules
    bool loadTiTxt(const std::string &text); // plain TI-TXT (any line ends); direct load; nothing loaded on error
    // skipErased leaves out 16-byte rows that are all 0xFF (a new address line follows a gap).
    std::string dumpTiTxt(uint32_t address, size_t length, bool skipErased = false) const;

    void setFaults(const Faults &faults); // takes effect at once; frame counting continues
    Faults faults() const;
    Stats stats() const;
    void resetStats();
    std::vector<Command> commandLog() const; // every complete frame, in order
    void clearCommandLog();
    bool locked() const;

    Config config() const;
    int lineBaud() const;      // current pacing rate (0: unpaced); follows an accepted 0x20
    bool hostConnected() const; // some process holds the slave side open

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Interrupt vectors (= BSL password) of the default instrument and of every demo firmware image.
std::array<uint8_t, 32> defaultVectors();

// Loads "the default NVX7300": information memory with 0x1080 = 0xAA, 0x1090/0x1091 = version,
// calibration data in segment A, a small application from 0x1100, defaultVectors() at 0xFFE0 and
// the firmware version record at 0xFFDC (major) / 0xFFDD (minor).
void loadDefaultInstrument(Simulator &sim, uint8_t major = 1, uint8_t minor = 10);

} // namespace nvxsim
