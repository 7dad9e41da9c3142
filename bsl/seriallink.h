#pragma once

#include <QByteArray>
#include <QSerialPort>
#include <QtGlobal>

#include <cstdint>
#include <memory>

namespace bsl {

class EngineSink;

constexpr int kDefaultReplyTimeoutBase = 300; // ms, until the first comOpen
constexpr int kDefaultReplyTimeoutFactor = 10; // until the first comOpen

// Everything the engine does to the line: bytes, waits, line settings, the
// modem lines and the clock its pauses and time-outs run on. The serial port
// implements it for every real run; a test puts its own in place to see what
// a device cannot show (levels, pauses) or to answer without one. Reached
// only through SerialLink.
class LinkTransport
{
public:
    virtual ~LinkTransport() = default;

    // Every run opens afresh; nothing of an earlier run's line is reused.
    virtual bool open(const QByteArray &name, QIODevice::OpenMode mode) = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;

    virtual bool setBaudRate(qint32 rate, QSerialPort::Directions directions) = 0;
    virtual qint32 baudRate() const = 0; // both directions
    virtual bool setDataBits(QSerialPort::DataBits bits) = 0;
    virtual bool setParity(QSerialPort::Parity parity) = 0;
    virtual bool setStopBits(QSerialPort::StopBits bits) = 0;
    virtual bool setFlowControl(QSerialPort::FlowControl flow) = 0;
    virtual void setTextMode(bool on) = 0;
    virtual bool setDtr(bool asserted) = 0;
    virtual bool setRts(bool asserted) = 0;
    virtual bool clear(QSerialPort::Directions directions) = 0;

    virtual qint64 write(const uint8_t *bytes, qint64 count) = 0;
    virtual qint64 read(uint8_t *bytes, qint64 count) = 0;
    virtual qint64 bytesAvailable() const = 0;
    virtual qint64 bytesToWrite() const = 0;
    // False when nothing new arrived within ms (or the line is in error).
    virtual bool waitForReadyRead(int ms) = 0;
    virtual bool waitForBytesWritten(int ms) = 0;

    // The pauses of the line sequences and settle times, and the millisecond
    // tick the time-outs and time stamps are measured with.
    virtual void sleep(unsigned long ms) = 0;
    virtual uint32_t tick() const = 0;
};

// The line of one engine run: the transport it was given, or a serial port of
// its own whose port each comOpen creates afresh; the reply time-outs the
// last comOpen set. Lives as long as the run; no state outlives it.
class SerialLink
{
public:
    // line: the transport to use (not owned, must outlive the link); none:
    // the serial port named at comOpen. The port name is printed to sink.
    explicit SerialLink(EngineSink &sink, LinkTransport *line = nullptr);
    ~SerialLink();
    SerialLink(const SerialLink &) = delete;
    SerialLink &operator=(const SerialLink &) = delete;

    // Returns 0 when the port is open and configured (9600 8E1), 2 otherwise.
    int comOpen(const char *portName, int timeoutBase, int timeoutFactor);
    int comClose();
    int replyTimeoutBase() const { return m_replyTimeoutBase; }
    int replyTimeoutFactor() const { return m_replyTimeoutFactor; }

    // 19200 and 38400 as asked, any other rate 9600; both directions.
    bool setBaudRate(int rate);
    int baudRate() const { return m_line.baudRate(); }
    bool setFlowControl(QSerialPort::FlowControl flow) { return m_line.setFlowControl(flow); }
    bool setDtr(bool asserted) { return m_line.setDtr(asserted); }
    bool setRts(bool asserted) { return m_line.setRts(asserted); }
    bool clear(QSerialPort::Directions directions) { return m_line.clear(directions); }

    qint64 write(const uint8_t *bytes, qint64 count) { return m_line.write(bytes, count); }
    qint64 read(uint8_t *bytes, qint64 count) { return m_line.read(bytes, count); }
    qint64 bytesAvailable() const { return m_line.bytesAvailable(); }
    bool waitForBytesWritten(int ms) { return m_line.waitForBytesWritten(ms); }

    // Waits until count bytes are available or more than timeoutMs have passed;
    // returns the number available when it stops.
    int comWaitBytes(int count, int timeoutMs);

    // The line's clock, shared by the engine's time-outs and time stamps.
    uint32_t tickMs() const { return m_line.tick(); }
    void sleepMs(unsigned long ms) { m_line.sleep(ms); }

private:
    EngineSink &m_sink;
    std::unique_ptr<LinkTransport> m_serialPort; // when no line was given
    LinkTransport &m_line;
    int m_replyTimeoutBase = kDefaultReplyTimeoutBase;
    int m_replyTimeoutFactor = kDefaultReplyTimeoutFactor;
};

} // namespace bsl
