#include "recordingtransport.h"

namespace nvxtest {

bool RecordingTransport::clear(QSerialPort::Directions directions)
{
    if (directions & QSerialPort::Input)
        input.clear();
    return note("clear " + key(directions));
}

qint64 RecordingTransport::write(const uint8_t *bytes, qint64 count)
{
    if (recordTraffic)
        note("write " + QByteArray(reinterpret_cast<const char *>(bytes), int(count)).toHex(' '));
    if (!m_open)
        return -1;
    received(bytes, count);
    return count;
}

qint64 RecordingTransport::read(uint8_t *bytes, qint64 count)
{
    if (!m_open)
        return -1;
    qint64 n = 0;
    for (; n < count && !input.empty(); ++n) {
        bytes[n] = input.front();
        input.pop_front();
    }
    return n;
}

bool RecordingTransport::waitForReadyRead(int ms)
{
    if (recordTraffic)
        note("wait read " + QByteArray::number(ms));
    if (!m_open || trickle.empty()) {
        now += uint32_t(ms);
        return false;
    }
    input.push_back(trickle.front());
    trickle.pop_front();
    return true;
}

void LoaderTransport::received(const uint8_t *bytes, qint64 count)
{
    for (qint64 i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        if (!m_inFrame) {
            if (b != bsl::kBslSync)
                continue;
            const QByteArray answer = answerSync();
            arrive(answer);
            // The host sends its frame only after an acknowledged sync.
            if (!answer.isEmpty() && uint8_t(answer[0]) == bsl::kBslAck) {
                m_inFrame = true;
                m_frame.clear();
                m_sent = 0;
            }
            continue;
        }
        const int position = m_sent++;
        const bool write = position >= 2 && uint8_t(m_frame[1]) == bsl::kCmdWriteBlock;
        const bool dropped = write && position == dropByte;
        if (!dropped)
            m_frame.append(char(b));
        if (write && position + 1 == strayAfter) {
            strayAfter = -1;
            arrive(QByteArray(1, char(bsl::kBslAck)));
        }
        if (dropped) {
            dropByte = -1;
            continue;
        }
        const bool complete = m_frame.size() >= 4 && m_frame.size() >= uint8_t(m_frame[2]) + 6;
        if (complete || m_frame.size() == answerAfterBytes) {
            m_inFrame = false;
            answerAfterBytes = -1;
            frames.append(m_frame);
            arrive(answerFrame(m_frame));
        }
    }
}

QByteArray LoaderTransport::answerFrame(const QByteArray &)
{
    return replies.isEmpty() ? QByteArray(1, char(bsl::kBslAck)) : replies.takeFirst();
}

uint8_t MemoryTransport::at(uint32_t address) const
{
    const auto it = memory.find(address);
    return it == memory.end() ? 0xFF : it->second;
}

QByteArray MemoryTransport::answerFrame(const QByteArray &frame)
{
    const QByteArray ack(1, char(bsl::kBslAck));
    const QByteArray nak(1, char(bsl::kBslNak));
    const auto *f = reinterpret_cast<const uint8_t *>(frame.constData());
    const int l1 = f[2];
    if (frame.size() < 8 || l1 < 4 || f[3] != l1)
        return nak;
    const uint16_t sum = bsl::bslChecksum(f, frame.size() - 2);
    if (f[frame.size() - 2] != (sum & 0xFF) || f[frame.size() - 1] != (sum >> 8))
        return nak;
    const uint32_t address = (uint32_t(m_offset) << 16) + (f[4] | (f[5] << 8));
    const uint16_t length = uint16_t(f[6] | (f[7] << 8));
    switch (f[1]) {
    case bsl::kCmdWriteBlock:
        for (int i = 0; i + 4 < l1; ++i) {
            const uint8_t value = f[8 + i];
            if (value != 0xFF || memory.count(address + uint32_t(i)))
                memory[address + uint32_t(i)] = uint8_t(at(address + uint32_t(i)) & value);
        }
        return ack;
    case bsl::kCmdReadBlock: {
        if (length > bsl::kMaxReplyData)
            return nak;
        QByteArray reply;
        reply.append(char(bsl::kBslDataFrame)).append('\0').append(char(length)).append(char(length));
        for (uint16_t i = 0; i < length; ++i)
            reply.append(char(at(address + i)));
        const uint16_t sum = bsl::bslChecksum(reinterpret_cast<const uint8_t *>(reply.constData()), reply.size());
        reply.append(char(sum & 0xFF)).append(char(sum >> 8));
        return reply;
    }
    case bsl::kCmdSetOffset: m_offset = length; return ack;
    default: return ack;
    }
}

} // namespace nvxtest
