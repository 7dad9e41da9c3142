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
constexpr int kByteWrittenMs = 300; // per byte pushed to the port
constexpr int kResetSettleMs = 250; // before and after a line sequence
constexpr int kPulseMs = 10; // each step of the line sequences

struct FrameState
{
    uint8_t frame[kFrameBufferSize + 2] = {}; // transmit frame, HDR .. CKH
    uint8_t rx[kFrameBufferSize] = {}; // HDR CMD L1 L2 data CKL CKH
    int replyLength = 0; // L1 of the last data frame
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
            return kOk;
        }
    }
    enginePrint("no ack %#02x\n", last);
    return kNoSync;
}

int comTxRx(uint8_t command, const uint8_t *frameData, uint8_t count)
{
    FrameState &s = state();
    QByteArray trace;
    trace.append("comTxRx send ").append(QByteArray::number(count)).append(" bytes ");
    appendHex(trace, frameData, count);
    enginePrint("%s", trace.constData());

    const int frameLength = bslBuildFrame(command, frameData, count, s.frame);

    comClear(0);
    int written = 0;
    bool interrupted = false;
    for (int i = 0; i < frameLength; ++i) {
        comWrite(s.frame + i, 1);
        comWaitForBytesWritten(kByteWrittenMs);
        ++written;
        if (comBytesAvailable() > 0) {
            interrupted = true; // the loader has already answered
            break;
        }
    }
    QByteArray echo;
    appendHex(echo, s.frame, written);
    std::fwrite(echo.constData(), 1, size_t(echo.size()), stdout);
    enginePrint("comTxRx write %s", echo.constData());
    enginePrint(interrupted ? "write interupted by read\n" : "complete \n");

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

    if (bslSync() != kOk)
        return kNoSync;

    int code = comTxRx(command, data, uint8_t(4 + dataCount));
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
