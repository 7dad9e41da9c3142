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

void appendHex(QByteArray &text, const uint8_t *bytes, int count)
{
    char one[8];
    for (int i = 0; i < count; ++i) {
        std::snprintf(one, sizeof one, "%x ", bytes[i]);
        text.append(one);
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


FrameLayer::FrameLayer(SerialLink &link, EngineSink &sink) : m_link(link), m_sink(sink) {}

int FrameLayer::receiveDataFrame()
{
    const int base = m_link.replyTimeoutBase();
    m_sink.print("comTxRx data frame");
    m_sink.print("comRxFrame wait for 3 chars");
    bool ok = m_link.comWaitBytes(3, base) >= 3;
    if (ok) {
        m_sink.print("comRxFrame read 3 chars");
        ok = m_link.read(m_rx + 1, 3) == 3;
    }
    const int l1 = m_rx[2];
    ok = ok && m_rx[1] == 0x00 && m_rx[2] == m_rx[3] && l1 <= kMaxReplyData;
    if (ok) {
        m_sink.print("comRxFrame 3 chars read");
        m_sink.print("comRxFrame wait for CRC %d", l1 + 2);
        ok = m_link.comWaitBytes(l1 + 2, base) >= l1 + 2;
    }
    if (ok) {
        m_sink.print("comRxFrame read CRC");
        ok = m_link.read(m_rx + 4, l1 + 2) == l1 + 2;
    }
    if (ok) {
        const uint16_t expected = bslChecksum(m_rx, 4 + l1);
        ok = m_rx[4 + l1] == (expected & 0xFF) && m_rx[5 + l1] == (expected >> 8);
    }
    if (!ok) {
        m_sink.print("comRxFrame frame error");
        return kFrameError;
    }
    m_replyLength = l1;
    m_sink.print("comRxFrame CRC OK");
    return kOk;
}

// Keeps a frame that a write may have to be sent again with.
void FrameLayer::noteSent(uint8_t command, const uint8_t *data, uint8_t count)
{
    if (command != kCmdWriteBlock && !m_grouping)
        return;
    WriteGroup &g = m_next;
    if (!m_grouping)
        g.count = 0;
    if (g.count == kWriteGroupFrames) { // only the frames right before the write serve it
        std::memmove(g.frames, g.frames + 1, sizeof g.frames - sizeof g.frames[0]);
        --g.count;
    }
    SentFrame &f = g.frames[g.count++];
    f.command = command;
    f.count = count;
    std::memcpy(f.data, data, count);
    m_grouping = command != kCmdWriteBlock;
}

// bslSync's tries; firstAcked tells whether the first try was acknowledged.
int FrameLayer::syncTries(bool *firstAcked)
{
    uint8_t last = kBslSync;
    for (int attempt = 0; attempt < kSyncTries; ++attempt) {
        last = kBslSync;
        m_link.clear(QSerialPort::Input);
        const uint8_t sync = kBslSync;
        const qint64 written = m_link.write(&sync, 1);
        m_link.waitForBytesWritten(kByteWrittenMs);
        if (written == 1)
            m_sink.print("bslSync write OK %#02x ", sync);
        else
            m_sink.print("bslSync write fail %i ", int(written));
        if (m_link.comWaitBytes(1, kSyncReplyMs) < 1)
            continue;
        uint8_t reply = 0;
        const qint64 got = m_link.read(&reply, 1);
        if (got == 1) {
            m_sink.print("read OK %#02x ", reply);
            last = reply;
        } else {
            m_sink.print("read fail %i\n", int(got));
        }
        if (got == 1 && reply == kBslAck) {
            m_sink.print("ack\n");
            if (firstAcked)
                *firstAcked = attempt == 0;
            return kOk;
        }
    }
    m_sink.print("no ack %#02x\n", last);
    return kNoSync;
}

// The sync before a frame, which also confirms a write before it; such a
// write that it puts in doubt is sent again.
int FrameLayer::syncConfirmingWrite()
{
    for (int resends = 0;; ++resends) {
        const bool confirming = m_unconfirmed;
        m_unconfirmed = false;
        bool firstAcked = false;
        if (syncTries(&firstAcked) != kOk)
            return kNoSync;
        if (!confirming || firstAcked)
            return kOk;
        if (resends == kWriteResends) {
            m_sink.print("Write not confirmed after %d resends\n", kWriteResends);
            return kFrameError;
        }
        m_sink.print("Write not confirmed by the sync after it: sent again\n");
        for (int i = 0; i < m_last.count; ++i) {
            if (i > 0 && syncTries(nullptr) != kOk)
                return kNoSync;
            const SentFrame &f = m_last.frames[i];
            if (int code = comTxRx(f.command, f.data, f.count))
                return code;
        }
        m_unconfirmed = true; // the next sync tells again
    }
}

int FrameLayer::bslSync()
{
    return syncTries(nullptr);
}

void FrameLayer::bslBeginWrite()
{
    m_grouping = true;
    m_next.count = 0;
}

int FrameLayer::comTxRx(uint8_t command, const uint8_t *frameData, uint8_t count)
{
    const int frameLength = bslBuildFrame(command, frameData, count, m_frame);

    m_link.clear(QSerialPort::Input);
    // Whatever arrives before the last byte is out cannot be this frame's
    // reply: a stray byte on the line, or a loader that gave up on the frame
    // (then no reply follows). The frame goes out whole, its last byte after
    // the rest has gone and whatever came meanwhile is put aside; the reply
    // decides.
    QByteArray early;
    m_link.write(m_frame, frameLength - 1);
    m_link.waitForBytesWritten(kByteWrittenMs + (frameLength - 1) * kByteLineMs);
    while (m_link.bytesAvailable() > 0) {
        uint8_t stray = 0;
        if (m_link.read(&stray, 1) != 1)
            break;
        early.append(char(stray));
    }
    m_link.write(m_frame + frameLength - 1, 1);
    m_link.waitForBytesWritten(kByteWrittenMs);
    // The traces are made while the line carries the frame, not before.
    QByteArray trace;
    trace.append("comTxRx send ").append(QByteArray::number(count)).append(" bytes ");
    appendHex(trace, frameData, count);
    m_sink.print("%s", trace.constData());
    m_sink.written(m_frame, frameLength);
    QByteArray sent;
    appendHex(sent, m_frame, frameLength);
    m_sink.print("comTxRx write %s", sent.constData());
    m_sink.print("complete \n");
    if (!early.isEmpty()) {
        QByteArray ignored;
        appendHex(ignored, reinterpret_cast<const uint8_t *>(early.constData()), int(early.size()));
        m_sink.print("comTxRx ignored %sbefore the frame was complete\n", ignored.constData());
    }

    m_replyLength = 0;
    if (m_link.comWaitBytes(1, m_link.replyTimeoutBase() * m_link.replyTimeoutFactor()) < 1) {
        m_sink.print("comTxRx read ");
        return kNoReply;
    }
    uint8_t header = 0;
    if (m_link.read(&header, 1) != 1) {
        m_sink.print("comTxRx read ");
        return kNoReply;
    }
    m_rx[0] = header;
    switch (header & 0xF0) {
    case kBslAck:
        m_sink.print("comRxHeader read %x", header);
        m_sink.print("comTxRx ack");
        return kOk;
    case kBslNak:
        m_sink.print("comRxHeader read %x", header);
        m_sink.print("comTxRx nak");
        return kNak;
    case kBslCmdFailed:
        m_sink.print("comRxHeader read %x", header);
        m_sink.print("comTxRx cmd failed");
        return kCmdFailed;
    case kBslDataFrame:
        m_sink.print("comRxHeader read %x", header);
        return receiveDataFrame();
    default:
        m_sink.print("comRxHeader read %x%x ", header, header & 0xF0);
        return kFrameError;
    }
}

int FrameLayer::bslTxRx(uint8_t command, uint16_t address, uint16_t length, uint8_t *blockOut, uint8_t *blockIn,
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

    noteSent(command, data, uint8_t(4 + dataCount));
    int code = comTxRx(command, data, uint8_t(4 + dataCount));
    if (command == kCmdWriteBlock) {
        m_unconfirmed = code == kOk;
        m_last = m_next;
    }
    // A read answered with fewer bytes than asked for would leave the rest of
    // the caller's block as it was: stale bytes taken for the target's.
    if (code == kOk && command == kCmdReadBlock && m_replyLength < length)
        code = kFrameError;
    if (blockIn) {
        const int n = code == kOk ? std::min(m_replyLength, inCapacity) : 0;
        std::memcpy(blockIn, m_rx + 4, size_t(std::max(n, 0)));
    }
    return code;
}

void FrameLayer::bslReset(bool invokeBsl)
{
    m_link.sleepMs(kResetSettleMs);
    m_link.setFlowControl(QSerialPort::NoFlowControl);
    m_link.setDtr(true);
    if (invokeBsl) {
        // Entry sequence: RTS pulses while DTR is asserted start the loader.
        m_link.setRts(false);
        m_link.sleepMs(kResetSettleMs);
        m_link.setRts(true);
        m_link.sleepMs(kPulseMs);
        m_link.setRts(false);
        m_link.sleepMs(kPulseMs);
        m_link.setRts(true);
        m_link.sleepMs(kPulseMs);
        m_link.setDtr(false);
        m_link.sleepMs(kPulseMs);
        m_link.setRts(false);
        m_link.sleepMs(kPulseMs);
    } else {
        m_link.sleepMs(kPulseMs);
        m_link.setDtr(false);
    }
    m_link.sleepMs(kResetSettleMs);
    m_link.setFlowControl(QSerialPort::NoFlowControl);
    m_link.clear(QSerialPort::AllDirections);
}

} // namespace bsl
