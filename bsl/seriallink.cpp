#include "seriallink.h"

#include "enginesink.h"
#include "enginestate.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <iterator>
#include <memory>

namespace bsl {

namespace {

constexpr char kWindowsDevicePrefix[] = "\\\\.\\"; // stored by -c, meaningful on Windows only

// The line of every real run: one QSerialPort per run, created by open and
// released by close. A pseudo-terminal refuses the modem lines and some
// framing settings; the calls then report failure and the run goes on.
class SerialPortTransport : public LinkTransport
{
public:
    SerialPortTransport() { m_clock.start(); }

    bool open(const QByteArray &name, QIODevice::OpenMode mode) override
    {
        // The port of an earlier run is never reused.
        m_port.reset(new QSerialPort());
        QByteArray device(name);
#ifndef Q_OS_WIN
        if (device.startsWith(kWindowsDevicePrefix))
            device.remove(0, int(sizeof kWindowsDevicePrefix) - 1);
#endif
        m_port->setPortName(QString::fromUtf8(device));
        if (!m_port->open(mode)) {
            m_port.reset();
            return false;
        }
        return true;
    }
    bool isOpen() const override { return m_port && m_port->isOpen(); }
    void close() override
    {
        if (isOpen())
            m_port->close();
        m_port.reset();
    }

    bool setBaudRate(qint32 rate, QSerialPort::Directions directions) override
    {
        return m_port && m_port->setBaudRate(rate, directions);
    }
    qint32 baudRate() const override { return m_port ? m_port->baudRate(QSerialPort::AllDirections) : 0; }
    bool setDataBits(QSerialPort::DataBits bits) override { return m_port && m_port->setDataBits(bits); }
    bool setParity(QSerialPort::Parity parity) override { return m_port && m_port->setParity(parity); }
    bool setStopBits(QSerialPort::StopBits bits) override { return m_port && m_port->setStopBits(bits); }
    bool setFlowControl(QSerialPort::FlowControl flow) override { return m_port && m_port->setFlowControl(flow); }
    void setTextMode(bool on) override
    {
        if (m_port)
            m_port->setTextModeEnabled(on);
    }
    bool setDtr(bool asserted) override { return m_port && m_port->setDataTerminalReady(asserted); }
    bool setRts(bool asserted) override { return m_port && m_port->setRequestToSend(asserted); }
    bool clear(QSerialPort::Directions directions) override { return m_port && m_port->clear(directions); }

    qint64 write(const uint8_t *bytes, qint64 count) override
    {
        return m_port ? m_port->write(reinterpret_cast<const char *>(bytes), count) : -1;
    }
    qint64 read(uint8_t *bytes, qint64 count) override
    {
        return m_port ? m_port->read(reinterpret_cast<char *>(bytes), count) : -1;
    }
    qint64 bytesAvailable() const override { return m_port ? m_port->bytesAvailable() : 0; }
    qint64 bytesToWrite() const override { return m_port ? m_port->bytesToWrite() : 0; }
    bool waitForReadyRead(int ms) override { return m_port && m_port->waitForReadyRead(ms); }
    bool waitForBytesWritten(int ms) override { return m_port && m_port->waitForBytesWritten(ms); }

    void sleep(unsigned long ms) override { QThread::msleep(ms); }
    uint32_t tick() const override { return uint32_t(m_clock.elapsed()); }

private:
    std::unique_ptr<QSerialPort> m_port; // port of the current run; fresh each run
    QElapsedTimer m_clock;
};

// The adapter's state, for the whole process:
// - serialPort: the default line. Its port lives from open to close, so each
//   run gets a fresh one.
// - transport: the line every com* call goes to; the serial port unless
//   comSetTransport chose another, kept until it chooses again.
// - the reply time-outs: set by every comOpen, kept until the next.
struct LinkState
{
    SerialPortTransport serialPort;
    LinkTransport *transport = &serialPort;
    int replyTimeoutBase = kDefaultReplyTimeoutBase;
    int replyTimeoutFactor = kDefaultReplyTimeoutFactor;
};

LinkState &link()
{
    static LinkState state;
    return state;
}

LinkTransport &line()
{
    return *link().transport;
}

QSerialPort::Directions directionOf(int direction)
{
    if (direction == 0)
        return QSerialPort::Input;
    if (direction == 1)
        return QSerialPort::Output;
    return QSerialPort::AllDirections;
}

} // namespace

void comSetTransport(LinkTransport *transport)
{
    link().transport = transport ? transport : &link().serialPort;
}

int comOpen(const char *portName, int timeoutBase, int timeoutFactor)
{
    LinkState &state = link();
    state.replyTimeoutBase = timeoutBase;
    state.replyTimeoutFactor = timeoutFactor;

    LinkTransport &t = line();
    // The line of an earlier run is never reused, even when it was left open.
    if (t.isOpen())
        t.close();
    if (!portName || !*portName)
        return 2;
    enginePrint("%s", portName);
    if (!t.open(QByteArray(portName), QIODevice::ReadWrite))
        return 2;

    // Line settings a pseudo-terminal refuses (modem lines) are not fatal.
    comSetBaudRate(kStartBaudRate, 2);
    comSetDataBits(0);
    comSetParity(1);
    comSetStopBits(0);
    comSetTextMode(false);
    comSetFlowControl(0);
    comSetRts(true);
    comSetDtr(true);
    comClear(2);
    return 0;
}

int comClose()
{
    LinkTransport &t = line();
    if (t.isOpen()) {
        // Only pending output is worth the wait; an idle port would
        // otherwise cost the whole time-out.
        if (t.bytesToWrite() > 0)
            t.waitForBytesWritten(link().replyTimeoutBase);
        t.clear(QSerialPort::AllDirections);
    }
    t.close();
    return 0;
}

int comReplyTimeoutBase()
{
    return link().replyTimeoutBase;
}

int comReplyTimeoutFactor()
{
    return link().replyTimeoutFactor;
}

bool comSetBaudRate(int rate, int direction)
{
    const bool known = std::find(std::begin(kLineRates), std::end(kLineRates), rate) != std::end(kLineRates);
    const int chosen = known ? rate : kStartBaudRate;
    return line().setBaudRate(chosen, directionOf(direction));
}

int comBaudRate()
{
    return line().baudRate();
}

bool comSetDataBits(int code)
{
    return code == 0 && line().setDataBits(QSerialPort::Data8);
}

bool comSetParity(int code)
{
    switch (code) {
    case 1: return line().setParity(QSerialPort::EvenParity);
    case 2: return line().setParity(QSerialPort::OddParity);
    case 3: return line().setParity(QSerialPort::SpaceParity);
    case 4: return line().setParity(QSerialPort::MarkParity);
    default: return line().setParity(QSerialPort::NoParity);
    }
}

bool comSetStopBits(int code)
{
    switch (code) {
    case 0: return line().setStopBits(QSerialPort::OneStop);
    case 1: return line().setStopBits(QSerialPort::OneAndHalfStop);
    default: return line().setStopBits(QSerialPort::TwoStop);
    }
}

bool comSetFlowControl(int code)
{
    switch (code) {
    case 1: return line().setFlowControl(QSerialPort::HardwareControl);
    case 2: return line().setFlowControl(QSerialPort::SoftwareControl);
    default: return line().setFlowControl(QSerialPort::NoFlowControl);
    }
}

bool comSetDtr(bool asserted)
{
    return line().setDtr(asserted);
}

bool comSetRts(bool asserted)
{
    return line().setRts(asserted);
}

void comSetTextMode(bool on)
{
    line().setTextMode(on);
}

bool comClear(int code)
{
    switch (code) {
    case 0: return line().clear(QSerialPort::Input);
    case 1: return line().clear(QSerialPort::Output);
    case 2: return line().clear(QSerialPort::AllDirections);
    default: return false;
    }
}

qint64 comWrite(const uint8_t *bytes, qint64 count)
{
    return line().write(bytes, count);
}

qint64 comRead(uint8_t *bytes, qint64 count)
{
    return line().read(bytes, count);
}

qint64 comBytesAvailable()
{
    return line().bytesAvailable();
}

bool comWaitForBytesWritten(int ms)
{
    return line().waitForBytesWritten(ms);
}

int comWaitBytes(int count, int timeoutMs)
{
    LinkTransport &t = line();
    const uint32_t start = t.tick();
    for (;;) {
        // Already-buffered bytes must not cost a wait.
        qint64 available = t.bytesAvailable();
        if (available < count) {
            // A port in error returns at once; do not spin on it.
            if (!t.waitForReadyRead(timeoutMs))
                t.sleep(1);
            available = t.bytesAvailable();
        }
        if (available >= count)
            return int(available & 0xFFFFFFFF);
        if (uint32_t(t.tick() - start) > uint32_t(timeoutMs))
            return int(available & 0xFFFFFFFF);
        if (!t.isOpen())
            return int(available & 0xFFFFFFFF);
    }
}

uint32_t tickMs()
{
    return line().tick();
}

void sleepMs(unsigned long ms)
{
    line().sleep(ms);
}

} // namespace bsl
