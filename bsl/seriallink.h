#pragma once

#include <QtGlobal>

#include <cstdint>

namespace bsl {

// The one serial port of the current engine run, reached through small
// integer codes. Process-wide: one run at a time, no locking.

constexpr int kDefaultReplyTimeoutBase = 300; // ms, until the first comOpen
constexpr int kDefaultReplyTimeoutFactor = 10; // until the first comOpen

// A byte source that stands in for the serial port (tests, fuzzing): while
// one is installed, comOpen opens no device and every read, write and wait
// goes to it. Modem lines and framing settings do nothing; the rate is kept.
class LinkTransport
{
public:
    virtual ~LinkTransport() = default;
    virtual qint64 write(const uint8_t *bytes, qint64 count) = 0;
    virtual qint64 read(uint8_t *bytes, qint64 count) = 0;
    virtual qint64 bytesAvailable() = 0;
    // False when no further byte arrives within ms; the link then stops waiting.
    virtual bool waitForReadyRead(int ms) = 0;
    virtual void clearInput() = 0;
    // Stands in for the engine's sleeps (line sequences, settle times).
    virtual void sleep(unsigned long ms) = 0;
};

// nullptr returns to the serial port. Not owned; must outlive its runs.
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
bool comWaitForReadyRead(int ms);
bool comWaitForBytesWritten(int ms);

// Waits until count bytes are available or more than timeoutMs have passed;
// returns the number available when it stops.
int comWaitBytes(int count, int timeoutMs);

// Millisecond tick counter shared by the engine's time-outs and time stamps.
uint32_t tickMs();
void sleepMs(unsigned long ms);

} // namespace bsl
