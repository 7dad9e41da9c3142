#include "bslframe.h"

#include "enginesink.h"
#include "seriallink.h"

#include <QByteArray>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace bsl {

namespace {

constexpr int kFrameOverhead = 6; // HDR CMD L1 L2 CKL CKH around the frame data
constexpr int kByteWrittenMs = 300; // per write to the port
constexpr int kByteLineMs = 2; // and per byte of it: more than a byte takes at 9600 baud (1.15 ms)
constexpr int kResetSettleMs = 250; // before and after a line sequence
constexpr int kPulseMs = 10; // each step of the line sequences

constexpr int kWriteGroupFrames = 2; // a write and the load PC that serves it

struct SentFrame
{
    uint8_t command = 0;
    uint8_t count = 0;
    uint8_t data[kFrameBufferSize] = {};
};

struct FrameState
{
    uint8_t frame[kFrameBufferSize + 2] = {}; // transmit frame, HDR .. CKH
    uint8_t rx[kFrameBufferSize] = {}; // HDR CMD L1 L2 data CKL CKH
    int replyLength = 0; // L1 of the last data frame
    // A write and the frames sent again with it (before it): the next one,
    // being sent, and the last one, acknowledged.
    struct WriteGroup
    {
        SentFrame frames[kWriteGroupFrames];
        int count = 0;
    } next, last;
    bool grouping = false; // bslBeginWrite was called, its write has not been sent yet
    bool unconfirmed = false; // the last write was acknowledged, no sync has followed it yet
};

FrameState &state()
{
    static FrameState s;
    return s;
}

void appendHex(QByteArray &text, const uint8_t *bytes, int count)
{
    char one[8];
    for (int i = 0; i < count; ++i) {
        std::snprintf(one, sizeof one, "%x ", bytes[i]);
        text.append(one);
    }
}

int receiveDataFrame(FrameState &s)
{
    const int base = comReplyTimeoutBase();
    enginePrint("comTxRx data frame");
    enginePrint("comRxFrame wait for 3 chars");
    bool ok = comWaitBytes(3, base) >= 3;
    if (ok) {
        enginePrint("comRxFrame read 3 chars");
        ok = comRead(s.rx + 1, 3) == 3;
    }
    const int l1 = s.rx[2];
    ok = ok && s.rx[1] == 0x00 && s.rx[2] == s.rx[3] && l1 <= kMaxReplyData;
    if (ok) {
        enginePrint("comRxFrame 3 chars read");
        enginePrint("comRxFrame wait for CRC %d", l1 + 2);
        ok = comWaitBytes(l1 + 2, base) >= l1 + 2;
    }
    if (ok) {
        enginePrint("comRxFrame read CRC");
        ok = comRead(s.rx + 4, l1 + 2) == l1 + 2;
    }
    if (ok) {
        const uint16_t expected = bslChecksum(s.rx, 4 + l1);
        ok = s.rx[4 + l1] == (expected & 0xFF) && s.rx[5 + l1] == (expected >> 8);
    }
    if (!ok) {
        enginePrint("comRxFrame frame error");
        return kFrameError;
    }
    s.replyLength = l1;
    enginePrint("comRxFrame CRC OK");
    return kOk;
}

// Keeps a frame that a write may have to be sent again with.
void noteSent(FrameState &s, uint8_t command, const uint8_t *data, uint8_t count)
{
    if (command != kCmdWriteBlock && !s.grouping)
        return;
    FrameState::WriteGroup &g = s.next;
    if (!s.grouping)
        g.count = 0;
    if (g.count == kWriteGroupFrames) { // only the frames right before the write serve it
        std::memmove(g.frames, g.frames + 1, sizeof g.frames - sizeof g.frames[0]);
        --g.count;
    }
    SentFrame &f = g.frames[g.count++];
    f.command = command;
    f.count = count;
    std::memcpy(f.data, data, count);
    s.grouping = command != kCmdWriteBlock;
}

// bslSync's tries; firstAcked tells whether the first try was acknowledged.
int syncTries(bool *firstAcked)
{
    uint8_t last = kBslSync;
    for (int attempt = 0; attempt < kSyncTries; ++attempt) {
        last = kBslSync;
        comClear(0);
        const uint8_t sync = kBslSync;
        const qint64 written = comWrite(&sync, 1);
        comWaitForBytesWritten(kByteWrittenMs);
        if (written == 1)
            enginePrint("bslSync write OK %#02x ", sync);
        else
            enginePrint("bslSync write fail %i ", int(written));
        if (comWaitBytes(1, kSyncReplyMs) < 1)
            continue;
        uint8_t reply = 0;
        const qint64 got = comRead(&reply, 1);
        if (got == 1) {
            enginePrint("read OK %#02x ", reply);
            last = reply;
        } else {
            enginePrint("read fail %i\n", int(got));
        }
        if (got == 1 && reply == kBslAck) {
            enginePrint("ack\n");
            if (firstAcked)
                *firstAcked = attempt == 0;
            return kOk;
        }
    }
    enginePrint("no ack %#02x\n", last);
    return kNoSync;
}

// The sync before a frame, which also confirms a write before it; such a
// write that it puts in doubt is sent again.
int syncConfirmingWrite()
{
    FrameState &s = state();
    for (int resends = 0;; ++resends) {
        const bool confirming = s.unconfirmed;
        s.unconfirmed = false;
        bool firstAcked = false;
        if (syncTries(&firstAcked) != kOk)
            return kNoSync;
        if (!confirming || firstAcked)
            return kOk;
        if (resends == kWriteResends) {
            enginePrint("Write not confirmed after %d resends\n", kWriteResends);
            return kFrameError;
        }
        enginePrint("Write not confirmed by the sync after it: sent again\n");
        for (int i = 0; i < s.last.count; ++i) {
            if (i > 0 && syncTries(nullptr) != kOk)
                return kNoSync;
            const SentFrame &f = s.last.frames[i];
            if (int code = comTxRx(f.command, f.data, f.count))
                return code;
        }
        s.unconfirmed = true; // the next sync tells again
    }
}

} // namespace

uint16_t bslChecksum(const uint8_t *bytes, int count)
{
    uint8_t low = 0;
    uint8_t high = 0;
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0)
            low ^= bytes[i];
        else
            high ^= bytes[i];
    }
    return uint16_t(~((high << 8) | low));
}

int bslBuildFrame(uint8_t command, const uint8_t *data, int count, uint8_t *frame)
{
    frame[0] = kBslSync;
    frame[1] = command;
    std::memcpy(frame + 4, data, size_t(count));
    if (count % 2 != 0)
        frame[4 + count++] = kBslPadByte;
    frame[2] = uint8_t(count);
    frame[3] = uint8_t(count);
    const uint16_t checksum = bslChecksum(frame, 4 + count);
    frame[4 + count] = uint8_t(checksum & 0xFF);
    frame[5 + count] = uint8_t(checksum >> 8);
    return count + kFrameOverhead;
}

int bslReplyLength()
{
    return state().replyLength;
}

int bslSync()
{
    return syncTries(nullptr);
}

void bslBeginWrite()
{
    FrameState &s = state();
    s.grouping = true;
    s.next.count = 0;
}

void bslStartRun()
{
    FrameState &s = state();
    s.grouping = s.unconfirmed = false;
    s.next.count = s.last.count = 0;
}

int comTxRx(uint8_t command, const uint8_t *frameData, uint8_t count)
{
    FrameState &s = state();
    const int frameLength = bslBuildFrame(command, frameData, count, s.frame);

    comClear(0);
    // Whatever arrives before the last byte is out cannot be this frame's
    // reply: a stray byte on the line, or a loader that gave up on the frame
    // (then no reply follows). The frame goes out whole, its last byte after
    // the rest has gone and whatever came meanwhile is put aside; the reply
    // decides.
    QByteArray early;
    comWrite(s.frame, frameLength - 1);
    comWaitForBytesWritten(kByteWrittenMs + (frameLength - 1) * kByteLineMs);
    while (comBytesAvailable() > 0) {
        uint8_t stray = 0;
        if (comRead(&stray, 1) != 1)
            break;
        early.append(char(stray));
    }
    comWrite(s.frame + frameLength - 1, 1);
    comWaitForBytesWritten(kByteWrittenMs);
    // The traces are made while the line carries the frame, not before.
    QByteArray trace;
    trace.append("comTxRx send ").append(QByteArray::number(count)).append(" bytes ");
    appendHex(trace, frameData, count);
    enginePrint("%s", trace.constData());
    QByteArray echo;
    appendHex(echo, s.frame, frameLength);
    std::fwrite(echo.constData(), 1, size_t(echo.size()), stdout);
    enginePrint("comTxRx write %s", echo.constData());
    enginePrint("complete \n");
    if (!early.isEmpty()) {
        QByteArray ignored;
        appendHex(ignored, reinterpret_cast<const uint8_t *>(early.constData()), int(early.size()));
        enginePrint("comTxRx ignored %sbefore the frame was complete\n", ignored.constData());
    }

    s.replyLength = 0;
    if (comWaitBytes(1, comReplyTimeoutBase() * comReplyTimeoutFactor()) < 1) {
        enginePrint("comTxRx read ");
        return kNoReply;
    }
    uint8_t header = 0;
    if (comRead(&header, 1) != 1) {
        enginePrint("comTxRx read ");
        return kNoReply;
    }
    s.rx[0] = header;
    switch (header & 0xF0) {
    case kBslAck:
        enginePrint("comRxHeader read %x", header);
        enginePrint("comTxRx ack");
        return kOk;
    case kBslNak:
        enginePrint("comRxHeader read %x", header);
        enginePrint("comTxRx nak");
        return kNak;
    case kBslCmdFailed:
        enginePrint("comRxHeader read %x", header);
        enginePrint("comTxRx cmd failed");
        return kCmdFailed;
    case kBslDataFrame:
        enginePrint("comRxHeader read %x", header);
        return receiveDataFrame(s);
    default:
        enginePrint("comRxHeader read %x%x ", header, header & 0xF0);
        return kFrameError;
    }
}

int bslTxRx(uint8_t command, uint16_t address, uint16_t length, uint8_t *blockOut, uint8_t *blockIn,
            int inCapacity)
{
    uint8_t data[kFrameBufferSize] = {};
    int dataCount = 0; // bytes after the four address and length bytes

    if (command == kCmdWriteBlock) {
        if (address % 2 != 0) {
            std::memmove(blockOut + 1, blockOut, length);
            blockOut[0] = kBslPadByte;
            --address;
            ++length;
        }
        if (length % 2 != 0)
            blockOut[length++] = kBslPadByte;
        dataCount = length;
    } else if (command == kCmdReadBlock) {
        if (address % 2 != 0) {
            --address;
            ++length;
        }
        if (length % 2 != 0)
            ++length;
    } else if (command == kCmdRxPassword) {
        dataCount = length;
    }
    dataCount = std::min(dataCount, kFrameBufferSize - 4 - 6);

    data[0] = uint8_t(address & 0xFF);
    data[1] = uint8_t(address >> 8);
    data[2] = uint8_t(length & 0xFF);
    data[3] = uint8_t(length >> 8);
    if (dataCount > 0 && blockOut)
        std::memcpy(data + 4, blockOut, size_t(dataCount));

    if (int code = syncConfirmingWrite())
        return code;

    noteSent(state(), command, data, uint8_t(4 + dataCount));
    int code = comTxRx(command, data, uint8_t(4 + dataCount));
    if (command == kCmdWriteBlock) {
        state().unconfirmed = code == kOk;
        state().last = state().next;
    }
    // A read answered with fewer bytes than asked for would leave the rest of
    // the caller's block as it was: stale bytes taken for the target's.
    if (code == kOk && command == kCmdReadBlock && state().replyLength < length)
        code = kFrameError;
    if (blockIn) {
        const int n = code == kOk ? std::min(state().replyLength, inCapacity) : 0;
        std::memcpy(blockIn, state().rx + 4, size_t(std::max(n, 0)));
    }
    return code;
}

void bslReset(bool invokeBsl)
{
    sleepMs(kResetSettleMs);
    comSetFlowControl(0);
    comSetDtr(true);
    if (invokeBsl) {
        // Entry sequence: RTS pulses while DTR is asserted start the loader.
        comSetRts(false);
        sleepMs(kResetSettleMs);
        comSetRts(true);
        sleepMs(kPulseMs);
        comSetRts(false);
        sleepMs(kPulseMs);
        comSetRts(true);
        sleepMs(kPulseMs);
        comSetDtr(false);
        sleepMs(kPulseMs);
        comSetRts(false);
        sleepMs(kPulseMs);
    } else {
        sleepMs(kPulseMs);
        comSetDtr(false);
    }
    sleepMs(kResetSettleMs);
    comSetFlowControl(0);
    comClear(2);
}

} // namespace bsl
