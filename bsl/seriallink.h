#pragma once

#include <QByteArray>
#include <QSerialPort>
#include <QtGlobal>

#include <cstdint>

namespace bsl {

// The line of the current engine run, reached through small integer codes.
// Process-wide: one run at a time, no locking.

constexpr int kDefaultReplyTimeoutBase = 300; // ms, until the first comOpen
constexpr int kDefaultReplyTimeoutFactor = 10; // until the first comOpen

// Everything the engine does to the line: bytes, waits, line settings, the
// modem lines and the clock its pauses and time-outs run on. The serial port
// implements it for every real run; a test puts its own in place to see what
// a device cannot show (levels, pauses) or to answer without one. Reached
// only through the com* functions below, which map the engine's codes onto
// these calls.
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

// Chooses the line of the following runs; nullptr returns to the serial
// port. Not owned; must outlive its runs. Set between runs only.
void comSetTransport(LinkTransport *transport);

// Returns 0 when the port is open and configured (9600 8E1), 2 otherwise.
int comOpen(const char *portName, int timeoutBase, int timeoutFactor);
int comClose();

int comReplyTimeoutBase();
int comReplyTimeoutFactor();

// rate 19200 / 38400, anything else 9600; direction 0 in, 1 out, else both.
bool comSetBaudRate(int rate, int direction);
int comBaudRate();
bool comSetDataBits(int code); // only code 0 (8 bits) is supported
bool comSetParity(int code); // 1 even, 2 odd, 3 space, 4 mark, else none
bool comSetStopBits(int code); // 0 one, 1 one and a half, else two
bool comSetFlowControl(int code); // 1 hardware, 2 software, else none
bool comSetDtr(bool asserted);
bool comSetRts(bool asserted);
void comSetTextMode(bool on);
bool comClear(int code); // 0 input, 1 output, 2 both, else nothing

qint64 comWrite(const uint8_t *bytes, qint64 count);
qint64 comRead(uint8_t *bytes, qint64 count);
qint64 comBytesAvailable();
bool comWaitForBytesWritten(int ms);

// Waits until count bytes are available or more than timeoutMs have passed;
// returns the number available when it stops.
int comWaitBytes(int count, int timeoutMs);

// The current line's clock, shared by the engine's time-outs and time stamps.
uint32_t tickMs();
void sleepMs(unsigned long ms);

} // namespace bsl
