#include "recordingtransport.h"

namespace nvxtest {

namespace {

QString directionText(QSerialPort::Directions directions)
{
    if (directions == QSerialPort::AllDirections)
        return QStringLiteral("all");
    return directions == QSerialPort::Input ? QStringLiteral("in") : QStringLiteral("out");
}

QString parityText(QSerialPort::Parity parity)
{
    switch (parity) {
    case QSerialPort::EvenParity: return QStringLiteral("even");
    case QSerialPort::OddParity: return QStringLiteral("odd");
    case QSerialPort::SpaceParity: return QStringLiteral("space");
    case QSerialPort::MarkParity: return QStringLiteral("mark");
    default: return QStringLiteral("none");
    }
}

QString stopBitsText(QSerialPort::StopBits bits)
{
    switch (bits) {
    case QSerialPort::OneStop: return QStringLiteral("1");
    case QSerialPort::OneAndHalfStop: return QStringLiteral("1.5");
    default: return QStringLiteral("2");
    }
}

QString flowText(QSerialPort::FlowControl flow)
{
    switch (flow) {
    case QSerialPort::HardwareControl: return QStringLiteral("hardware");
    case QSerialPort::SoftwareControl: return QStringLiteral("software");
    default: return QStringLiteral("none");
    }
}

QString level(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

RecordingTransport::RecordingTransport()
{
    bsl::comSetTransport(this);
}

RecordingTransport::~RecordingTransport()
{
    bsl::comSetTransport(nullptr);
}

bool RecordingTransport::open(const QByteArray &name, QIODevice::OpenMode)
{
    calls << QStringLiteral("open ") + QString::fromUtf8(name);
    m_open = true;
    return true;
}

void RecordingTransport::close()
{
    calls << QStringLiteral("close");
    m_open = false;
    input.clear();
}

bool RecordingTransport::setBaudRate(qint32 rate, QSerialPort::Directions directions)
{
    calls << QStringLiteral("baud %1 ").arg(rate) + directionText(directions);
    m_rate = rate;
    return true;
}

bool RecordingTransport::setDataBits(QSerialPort::DataBits bits)
{
    calls << QStringLiteral("data %1").arg(int(bits));
    return true;
}

bool RecordingTransport::setParity(QSerialPort::Parity parity)
{
    calls << QStringLiteral("parity ") + parityText(parity);
    return true;
}

bool RecordingTransport::setStopBits(QSerialPort::StopBits bits)
{
    calls << QStringLiteral("stop ") + stopBitsText(bits);
    return true;
}

bool RecordingTransport::setFlowControl(QSerialPort::FlowControl flow)
{
    calls << QStringLiteral("flow ") + flowText(flow);
    return true;
}

void RecordingTransport::setTextMode(bool on)
{
    calls << QStringLiteral("text ") + level(on);
}

bool RecordingTransport::setDtr(bool asserted)
{
    calls << QStringLiteral("dtr ") + level(asserted);
    return true;
}

bool RecordingTransport::setRts(bool asserted)
{
    calls << QStringLiteral("rts ") + level(asserted);
    return true;
}

bool RecordingTransport::clear(QSerialPort::Directions directions)
{
    calls << QStringLiteral("clear ") + directionText(directions);
    if (directions & QSerialPort::Input)
        input.clear();
    return true;
}

qint64 RecordingTransport::write(const uint8_t *bytes, qint64 count)
{
    calls << QStringLiteral("write ")
             + QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bytes), int(count)).toHex(' '));
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
    calls << QStringLiteral("wait read %1").arg(ms);
    if (!m_open || trickle.empty()) {
        now += uint32_t(ms);
        return false;
    }
    input.push_back(trickle.front());
    trickle.pop_front();
    return true;
}

bool RecordingTransport::waitForBytesWritten(int ms)
{
    calls << QStringLiteral("wait written %1").arg(ms);
    return m_open;
}

void RecordingTransport::sleep(unsigned long ms)
{
    calls << QStringLiteral("sleep %1").arg(ms);
    now += uint32_t(ms);
}

void RecordingTransport::received(const uint8_t *, qint64) {}

void RecordingTransport::arrive(const QByteArray &bytes)
{
    for (char c : bytes)
        input.push_back(uint8_t(c));
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
            }
            continue;
        }
        m_frame.append(char(b));
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
    const uint32_t address = (uint32_t(m_offset) << 16) + (f[4] | (f[5] << 8));
    const uint16_t length = uint16_t(f[6] | (f[7] << 8));
    switch (f[1]) {
    case bsl::kCmdWriteBlock:
        ++writes;
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
