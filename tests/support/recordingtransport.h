#pragma once

// The engine's line without a device: a transport that records what the
// engine does to the line, and loaders on top of it that answer the host.
// For what a pseudo-terminal cannot show (line levels, pauses, waits) and
// for replies no real loader gives.

#include "bslframe.h"
#include "seriallink.h"

#include <QByteArray>
#include <QList>
#include <QMetaEnum>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <map>

namespace nvxtest {

// A line the engine is given instead of a serial port. Records every call
// that acts on the line, in order, as a short text: "open COM7",
// "baud 9600 AllDirections", "data Data8", "parity EvenParity",
// "stop OneStop", "text 0", "flow NoFlowControl", "rts 1", "dtr 0",
// "clear Input", "write 80",
// "wait read 100", "wait written 300", "sleep 250", "close". Reads and
// queries change nothing and are not recorded; writes and waits, a call or
// two per byte, only while recordTraffic is on. Time is virtual: sleeps, and
// waits that nothing ends, move the clock and cost nothing.
class RecordingTransport : public bsl::LinkTransport
{
public:
    RecordingTransport() = default;
    RecordingTransport(const RecordingTransport &) = delete;
    RecordingTransport &operator=(const RecordingTransport &) = delete;

    bool open(const QByteArray &name, QIODevice::OpenMode) override
    {
        m_open = true;
        return note("open " + name);
    }
    bool isOpen() const override { return m_open; }
    void close() override
    {
        m_open = false;
        input.clear();
        note("close");
    }
    bool setBaudRate(qint32 rate, QSerialPort::Directions directions) override
    {
        m_rate = rate;
        return note("baud " + QByteArray::number(rate) + ' ' + key(directions));
    }
    qint32 baudRate() const override { return m_rate; }
    bool setDataBits(QSerialPort::DataBits bits) override { return note("data " + key(bits)); }
    bool setParity(QSerialPort::Parity parity) override { return note("parity " + key(parity)); }
    bool setStopBits(QSerialPort::StopBits bits) override { return note("stop " + key(bits)); }
    bool setFlowControl(QSerialPort::FlowControl flow) override { return note("flow " + key(flow)); }
    void setTextMode(bool on) override { note("text " + QByteArray::number(on)); }
    bool setDtr(bool asserted) override { return note("dtr " + QByteArray::number(asserted)); }
    bool setRts(bool asserted) override { return note("rts " + QByteArray::number(asserted)); }
    bool clear(QSerialPort::Directions directions) override;
    qint64 write(const uint8_t *bytes, qint64 count) override;
    qint64 read(uint8_t *bytes, qint64 count) override;
    qint64 bytesAvailable() const override { return qint64(input.size()); }
    qint64 bytesToWrite() const override { return 0; }
    bool waitForReadyRead(int ms) override;
    bool waitForBytesWritten(int ms) override
    {
        if (recordTraffic)
            note("wait written " + QByteArray::number(ms));
        return m_open;
    }
    void sleep(unsigned long ms) override
    {
        now += uint32_t(ms);
        note("sleep " + QByteArray::number(qulonglong(ms)));
    }
    uint32_t tick() const override { return now; }

    QStringList calls;
    bool recordTraffic = true; // off for long fuzz runs, where they would cost most of the time
    std::deque<uint8_t> input; // arrived, not read yet
    std::deque<uint8_t> trickle; // arrives a byte per wait for ready read
    uint32_t now = 0; // ms

protected:
    // The host's bytes, as written while the line is open.
    virtual void received(const uint8_t *, qint64) {}
    void arrive(const QByteArray &bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }

private:
    bool note(const QByteArray &call)
    {
        calls << QString::fromLatin1(call);
        return true;
    }
    // The setting's name in QSerialPort, "EvenParity" for example.
    template <typename Enum>
    static QByteArray key(Enum value)
    {
        return QMetaEnum::fromType<Enum>().valueToKeys(int(value));
    }
    static QByteArray key(QSerialPort::Directions directions) { return key(QSerialPort::Direction(int(directions))); }

    bool m_open = false;
    qint32 m_rate = 0;
};

// A loader's side of the line: answers each sync byte with syncAnswer and,
// after an acknowledged sync, each complete frame (cut by its L1 byte) with
// the next of replies, an ACK once they are used up. Keeps the frames.
class LoaderTransport : public RecordingTransport
{
public:
    QByteArray syncAnswer = QByteArray(1, char(bsl::kBslAck)); // empty: silent
    QList<QByteArray> replies;
    int answerAfterBytes = -1; // >= 0: answers the next frame this early, as a loader may
    // Faults of the line on the next write frame: the byte at dropByte never
    // reaches the loader, and a stray ACK arrives once the host has sent
    // strayAfter of its bytes.
    int dropByte = -1;
    int strayAfter = -1;
    QList<QByteArray> frames; // HDR .. CKH as received, or up to the early answer

protected:
    void received(const uint8_t *bytes, qint64 count) override;
    virtual QByteArray answerSync() { return syncAnswer; }
    virtual QByteArray answerFrame(const QByteArray &frame);

private:
    bool m_inFrame = false;
    QByteArray m_frame;
    int m_sent = 0; // bytes of the current frame the host sent
};

// A well-behaved loader over flash: writes can only clear bits (so padding
// with 0xFF changes nothing), reads answer data frames, 0x21 sets the upper
// address bits, a frame with a wrong checksum gets NAK. Everything else is
// acknowledged.
class MemoryTransport : public LoaderTransport
{
public:
    std::map<uint32_t, uint8_t> memory; // absent = erased (0xFF)

    uint8_t at(uint32_t address) const;

protected:
    QByteArray answerFrame(const QByteArray &frame) override;

private:
    uint16_t m_offset = 0;
};

} // namespace nvxtest
