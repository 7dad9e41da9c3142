#include "simtarget.h"

#include <algorithm>

namespace nvxsim {

namespace {

constexpr uint8_t kHeader = 0x80;     // sync byte and frame header
constexpr uint8_t kAck = 0x90;
constexpr uint8_t kNak = 0xA0;
constexpr size_t kMaxFrameData = 250; // L1 limit
constexpr auto kFrameGap = std::chrono::milliseconds(80); // silence that abandons a half frame
constexpr size_t kLongFrame = 64; // bytes, HDR to CKH: what a line that garbles long frames garbles
constexpr uint32_t kStartRate = 9600;

constexpr uint8_t kCmdPassword = 0x10;
constexpr uint8_t kCmdWrite = 0x12;
constexpr uint8_t kCmdRead = 0x14;
constexpr uint8_t kCmdEraseSegment = 0x16;
constexpr uint8_t kCmdMassErase = 0x18;
constexpr uint8_t kCmdLoadPc = 0x1A;
constexpr uint8_t kCmdEraseCheck = 0x1C;
constexpr uint8_t kCmdChangeBaud = 0x20;
constexpr uint8_t kCmdSetOffset = 0x21;

constexpr uint16_t kEraseSegmentKey = 0xA502;
constexpr uint16_t kMassEraseKey = 0xA506;

constexpr uint32_t kRamFirst = 0x0200, kRamLast = 0x09FF;
constexpr uint32_t kInfoFirst = 0x1000, kInfoLast = 0x10FF;
constexpr uint32_t kInfoSegment = 64;
constexpr uint32_t kMainFirst = 0x1100;
constexpr uint32_t kMainSegment = 512;
constexpr uint32_t kFlashLast = SparseMemory::kAddressMask; // main flash, extended above 0xFFFF
constexpr uint32_t kIdentity = 0x0FF0;
constexpr uint32_t kPasswordAddress = 0xFFE0;
constexpr size_t kPasswordLength = 32;
constexpr uint16_t kLoaderRestart = 0x0C22; // ROM loader entry: a restart, password needed again
constexpr uint16_t kPatchEntry = 0x0220;    // RAM flash patch of the old loaders
constexpr uint16_t kPatchNeededUpTo = 0x0110;
constexpr uint16_t kMaxOffset = 0x000F;     // 20-bit space

const std::vector<uint8_t> kAckReply{kAck};
const std::vector<uint8_t> kNakReply{kNak};

bool isRam(uint32_t a) { return a >= kRamFirst && a <= kRamLast; }
bool isFlash(uint32_t a) { return a >= kInfoFirst && a <= kFlashLast; }

std::vector<uint8_t> dataFrame(const std::vector<uint8_t> &data)
{
    // Sized up front: growing a four-byte vector by insert() trips a false
    // -Warray-bounds in GCC 12 at -O2.
    std::vector<uint8_t> f;
    f.reserve(data.size() + 6);
    f.push_back(kHeader);
    f.push_back(0x00);
    f.push_back(static_cast<uint8_t>(data.size()));
    f.push_back(static_cast<uint8_t>(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    const uint16_t ck = frameChecksum(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(ck & 0xFF));
    f.push_back(static_cast<uint8_t>(ck >> 8));
    return f;
}

} // namespace

uint16_t frameChecksum(const uint8_t *bytes, size_t count)
{
    uint8_t even = 0, odd = 0;
    for (size_t i = 0; i < count; ++i)
        (i % 2 == 0 ? even : odd) ^= bytes[i];
    return static_cast<uint16_t>(static_cast<uint8_t>(~even) | (static_cast<uint8_t>(~odd) << 8));
}

Target::Target(const Config &cfg)
    : config(cfg), lineBaud(cfg.baud), ramWritten_(kRamLast - kRamFirst + 1, false)
{
    std::vector<uint8_t> identity(14, 0xFF);
    identity[0] = config.family[0];
    identity[1] = config.family[1];
    identity[2] = config.process[0];
    identity[3] = config.process[1];
    identity[10] = static_cast<uint8_t>(config.bslVersion >> 8);
    identity[11] = static_cast<uint8_t>(config.bslVersion & 0xFF);
    memory.write(kIdentity, identity);
}

void Target::sessionStart()
{
    ++stats.sessions;
    locked = true;
    state_ = RxState::Idle;
    frame_.clear();
    restartLoader();
    std::fill(ramWritten_.begin(), ramWritten_.end(), false);
    lineBaud = config.baud; // the entry sequence resets the loader to its start rate
    rate_ = kStartRate;
    garbled_ = false;
}

void Target::restartLoader()
{
    offset_ = 0;
    lastWasPatchEntry_ = false;
    replacementLoader_ = false;
}

void Target::sessionEnd()
{
    if (hungUp_) { // replugged: the cable fault is gone, memory kept
        hungUp_ = false;
        faults.hangUpAfterFrames = -1;
    }
    // Closing the port releases the reset line: the application starts if there is one.
    const bool hasApplication = memory.at(0xFFFE) != 0xFF || memory.at(0xFFFF) != 0xFF;
    if (hasApplication && config.applicationRecordsVersion && memory.at(0x1090) == 0xFF
        && memory.at(0x1091) == 0xFF) {
        memory.set(0x1090, memory.at(0xFFDC));
        memory.set(0x1091, memory.at(0xFFDD));
    }
    garbled_ = false;
    rate_ = kStartRate;
    locked = true;
    state_ = RxState::Idle;
    frame_.clear();
    restartLoader();
    std::fill(ramWritten_.begin(), ramWritten_.end(), false);
}

bool Target::deaf() const
{
    if (hungUp_ || garbled_)
        return true;
    return faults.silenceAfterFrames >= 0 && stats.frames >= faults.silenceAfterFrames;
}

std::vector<uint8_t> Target::feed(uint8_t byte, Clock::time_point now)
{
    ++stats.bytesIn;
    if (!hungUp_ && faults.hangUpAfterFrames >= 0 && stats.frames >= faults.hangUpAfterFrames)
        hungUp_ = true;
    if (deaf()) {
        state_ = RxState::Idle;
        frame_.clear();
        return {};
    }
    // A frame that stalls is abandoned, so garbage or a half frame cannot wedge the receiver.
    if ((state_ == RxState::Frame || state_ == RxState::Discard) && now - lastByte_ > kFrameGap) {
        state_ = RxState::Idle;
        frame_.clear();
    }
    lastByte_ = now;

    std::vector<uint8_t> reply;
    switch (state_) {
    case RxState::Idle:
        if (byte == kHeader) {
            ++stats.syncs;
            if (!faults.noSyncReply) {
                state_ = RxState::Synced;
                reply = kAckReply;
            }
        }
        break;
    case RxState::Synced:
        if (byte == kHeader) {
            frame_.assign(1, byte);
            state_ = RxState::Frame;
        } else {
            state_ = RxState::Idle;
        }
        break;
    case RxState::Discard:
        break;
    case RxState::Frame:
        frame_.push_back(byte);
        if (frame_.size() == 4) {
            const uint8_t l1 = frame_[2], l2 = frame_[3];
            if (l1 != l2 || l1 % 2 != 0 || l1 < 4 || l1 > kMaxFrameData) {
                // The length is unknown, so the rest of this frame is dropped until the line rests.
                ++stats.frames;
                record({frame_[1], 0, 0, false});
                state_ = RxState::Discard;
                frame_.clear();
                reply = kNakReply;
            }
        } else if (frame_.size() > 4 && frame_.size() == 4u + frame_[2] + 2u) {
            reply = completeFrame();
            state_ = RxState::Idle;
            frame_.clear();
        }
        break;
    }
    stats.bytesOut += static_cast<long long>(reply.size());
    return reply;
}

std::vector<uint8_t> Target::completeFrame()
{
    ++stats.frames;
    const size_t bodyLength = frame_.size() - 2;
    const uint8_t cmd = frame_[1];
    const uint16_t address = static_cast<uint16_t>(frame_[4] | (frame_[5] << 8));
    const uint16_t length = static_cast<uint16_t>(frame_[6] | (frame_[7] << 8));
    std::vector<uint8_t> data(frame_.begin() + 8, frame_.begin() + static_cast<long>(bodyLength));
    const uint32_t flip = static_cast<uint32_t>(faults.flipTwoBitsInWriteAt);
    if (cmd == kCmdWrite && faults.flipTwoBitsInWriteAt >= 0 && flip >= effective(address)
        && flip + 2 < effective(address) + data.size()) {
        data[flip - effective(address)] ^= 0x01;
        data[flip - effective(address) + 2] ^= 0x01;
        faults.flipTwoBitsInWriteAt = -1;
    }
    const uint16_t sent = static_cast<uint16_t>(frame_[bodyLength] | (frame_[bodyLength + 1] << 8));
    const bool afterPatchEntry = lastWasPatchEntry_;
    lastWasPatchEntry_ = false;

    std::vector<uint8_t> reply;
    if (faults.muteFrameAfterFrames >= 0 && stats.frames > faults.muteFrameAfterFrames)
        reply.clear(); // heard, never answered
    else if (sent != frameChecksum(frame_.data(), bodyLength))
        reply = kNakReply;
    else if (faults.longFramesFailAbove > 0 && rate_ > static_cast<uint32_t>(faults.longFramesFailAbove)
             && frame_.size() > kLongFrame)
        reply = kNakReply; // garbled on the way: its checksum no longer matches
    else if (faults.nakAfterFrames >= 0 && stats.frames > faults.nakAfterFrames)
        reply = kNakReply;
    else
        reply = execute(cmd, address, length, data, afterPatchEntry);

    if (reply.size() > 1)
        spoilReply(reply);
    if (reply.size() > 1 && cmd == kCmdRead && effective(address) == kIdentity && faults.corruptIdentityAfterErase
        && stats.massErases > 0) {
        reply.back() ^= 0x01;
        faults.corruptIdentityAfterErase = false;
    }
    record({cmd, address, length, reply.size() > 1 || reply == kAckReply});
    return reply;
}

void Target::spoilReply(std::vector<uint8_t> &reply)
{
    auto after = [this](int threshold) { return threshold >= 0 && stats.frames > threshold; };
    bool header = false;
    if (after(faults.badReplyLengthAfterFrames)) {
        reply[3] = static_cast<uint8_t>(reply[3] + 2); // still even and plausible, just not L1
        header = true;
    }
    if (after(faults.badReplyCommandAfterFrames)) {
        reply[1] = kCmdRead; // an echo of the request instead of 0x00
        header = true;
    }
    if (header) { // only the header is wrong: the checksum matches what is sent
        const size_t body = reply.size() - 2;
        const uint16_t ck = frameChecksum(reply.data(), body);
        reply[body] = static_cast<uint8_t>(ck & 0xFF);
        reply[body + 1] = static_cast<uint8_t>(ck >> 8);
    }
    if (after(faults.corruptChecksumAfterFrames))
        reply.back() ^= 0x5A;
    if (after(faults.corruptOneReplyAfterFrames)) {
        reply.back() ^= 0x01;
        faults.corruptOneReplyAfterFrames = -1;
    }
}

void Target::record(const Command &command)
{
    constexpr size_t kLogLimit = 200000; // a long serving program must not grow without end
    if (log.size() >= kLogLimit)
        log.erase(log.begin(), log.begin() + kLogLimit / 2);
    log.push_back(command);
    log.back().session = stats.sessions;
    log.back().at = arrival;
}

uint32_t Target::effective(uint16_t address) const
{
    return (static_cast<uint32_t>(offset_) << 16) | address;
}

bool Target::patchRequired() const
{
    // A replacement loader programs flash on its own.
    return config.bslVersion <= kPatchNeededUpTo && !replacementLoader_;
}

std::vector<uint8_t> Target::execute(uint8_t cmd, uint16_t address, uint16_t length,
                                     const std::vector<uint8_t> &data, bool afterPatchEntry)
{
    if (locked && cmd != kCmdPassword && cmd != kCmdMassErase)
        return kNakReply;

    switch (cmd) {
    case kCmdPassword: {
        const std::vector<uint8_t> expected = memory.read(kPasswordAddress, kPasswordLength);
        locked = !(length == kPasswordLength && data == expected);
        return locked ? kNakReply : kAckReply;
    }
    case kCmdWrite:
        return writeMemory(effective(address), length, data, afterPatchEntry);
    case kCmdRead:
        if (length > kMaxFrameData)
            return kNakReply;
        return dataFrame(memory.read(effective(address), length));
    case kCmdEraseSegment:
        return eraseSegment(effective(address), length);
    case kCmdMassErase:
        if (length != kMassEraseKey)
            return kNakReply;
        memory.erase(kInfoFirst, kFlashLast);
        ++stats.massErases;
        return kAckReply;
    case kCmdLoadPc:
        return loadPc(address);
    case kCmdEraseCheck: {
        if (patchRequired() && !afterPatchEntry)
            return kNakReply;
        for (uint8_t b : memory.read(effective(address), length)) {
            if (b != SparseMemory::kErased)
                return kNakReply;
        }
        return kAckReply;
    }
    case kCmdChangeBaud:
        return changeBaud(address, length);
    case kCmdSetOffset:
        if (length > kMaxOffset)
            return kNakReply;
        offset_ = length;
        return kAckReply;
    default:
        return kNakReply;
    }
}

std::vector<uint8_t> Target::writeMemory(uint32_t address, uint16_t length,
                                         const std::vector<uint8_t> &data, bool afterPatchEntry)
{
    if (length != data.size())
        return kNakReply;
    bool touchesFlash = false;
    for (size_t i = 0; i < data.size(); ++i) {
        const uint32_t a = (address + static_cast<uint32_t>(i)) & SparseMemory::kAddressMask;
        if (!isRam(a) && !isFlash(a))
            return kNakReply;
        touchesFlash = touchesFlash || isFlash(a);
    }
    if (touchesFlash && patchRequired() && !afterPatchEntry)
        return kNakReply;
    for (size_t i = 0; i < data.size(); ++i) {
        const uint32_t a = (address + static_cast<uint32_t>(i)) & SparseMemory::kAddressMask;
        // Programming flash can only clear bits; only an erase sets them again.
        memory.set(a, isFlash(a) ? static_cast<uint8_t>(memory.at(a) & data[i]) : data[i]);
        if (isRam(a))
            ramWritten_[a - kRamFirst] = true;
    }
    return kAckReply;
}

std::vector<uint8_t> Target::eraseSegment(uint32_t address, uint16_t length)
{
    if (length != kEraseSegmentKey || !isFlash(address))
        return kNakReply;
    uint32_t first, last;
    if (address <= kInfoLast) {
        first = address & ~(kInfoSegment - 1);
        last = first + kInfoSegment - 1;
    } else {
        first = std::max(address & ~(kMainSegment - 1), kMainFirst);
        last = (address & ~(kMainSegment - 1)) + kMainSegment - 1;
    }
    memory.erase(first, last);
    return kAckReply;
}

std::vector<uint8_t> Target::loadPc(uint16_t address)
{
    bool largeModel = false;
    if (address == kPatchEntry && patchRequired()) {
        lastWasPatchEntry_ = true; // the patch serves the next flash access, then returns
    } else if (isRam(address) && startsReplacementLoader(address, largeModel)) {
        restartLoader();
        replacementLoader_ = true;
        locked = locked || largeModel; // a small loader shares the ROM loader's unlocked state
    } else if (address == kLoaderRestart || isRam(address)) {
        restartLoader();
        locked = true; // a restarted loader, or a jump into no loader: password again
    }
    return kAckReply;
}

// A loader image written into RAM starts with its entry word and its model word; the jump must
// go to that entry.
bool Target::startsReplacementLoader(uint16_t entry, bool &largeModel) const
{
    auto written = [this](uint32_t a) { return isRam(a) && ramWritten_[a - kRamFirst]; };
    if (!written(entry))
        return false;
    uint32_t head = entry;
    while (written(head - 1))
        --head;
    if (!written(head + 3))
        return false;
    const std::vector<uint8_t> bytes = memory.read(head, 4);
    if ((bytes[0] | (bytes[1] << 8)) != entry)
        return false;
    largeModel = (bytes[2] | bytes[3]) != 0;
    return true;
}

std::vector<uint8_t> Target::changeBaud(uint16_t clockWord, uint16_t mode)
{
    static const uint32_t kRates[3] = {9600, 19200, 38400};
    if (faults.refuseBaudChange || mode > 2)
        return kNakReply;
    // Known families take only their own clock settings; a wrong one would garble the line.
    static const struct {
        uint8_t families[2];
        uint16_t words[3];
    } kClockWords[] = {
        {{0xF1, 0x12}, {0x8580, 0x86E0, 0x87E0}},
        {{0xF2, 0x25}, {0x8880, 0x8B80, 0x8C80}},
        {{0xF4, 0xF4}, {0x9800, 0xB000, 0xC800}},
    };
    for (const auto &row : kClockWords) {
        if (config.family[0] == row.families[0] || config.family[0] == row.families[1]) {
            if (clockWord != row.words[mode])
                return kNakReply;
        }
    }
    rate_ = kRates[mode];
    if (lineBaud > 0)
        lineBaud = static_cast<int>(kRates[mode]); // the ACK still goes out at the old rate
    if (faults.lineFailsAbove > 0 && kRates[mode] > static_cast<uint32_t>(faults.lineFailsAbove))
        garbled_ = true; // from the next byte on
    return kAckReply;
}

} // namespace nvxsim
