#include "seriallink.h"

#include "enginesink.h"
#include "engineresult.h"

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

} // namespace

SerialLink::SerialLink(EngineSink &sink, LinkTransport *line)
    : m_sink(sink),
      m_serialPort(line ? nullptr : std::make_unique<SerialPortTransport>()),
      m_line(line ? *line : *m_serialPort)
{
}

SerialLink::~SerialLink() = default;

int SerialLink::comOpen(const char *portName, int timeoutBase, int timeoutFactor)
{
    m_replyTimeoutBase = timeoutBase;
    m_replyTimeoutFactor = timeoutFactor;

    // The line of an earlier open is never reused, even when it was left open.
    if (m_line.isOpen())
        m_line.close();
    if (!portName || !*portName)
        return 2;
    m_sink.print("%s", portName);
    if (!m_line.open(QByteArray(portName), QIODevice::ReadWrite))
        return 2;

    // Line settings a pseudo-terminal refuses (modem lines) are not fatal.
    setBaudRate(kStartBaudRate);
    m_line.setDataBits(QSerialPort::Data8);
    m_line.setParity(QSerialPort::EvenParity);
    m_line.setStopBits(QSerialPort::OneStop);
    m_line.setTextMode(false);
    m_line.setFlowControl(QSerialPort::NoFlowControl);
    m_line.setRts(true);
    m_line.setDtr(true);
    m_line.clear(QSerialPort::AllDirections);
    return 0;
}

int SerialLink::comClose()
{
    if (m_line.isOpen()) {
        // Only pending output is worth the wait; an idle port would
        // otherwise cost the whole time-out.
        if (m_line.bytesToWrite() > 0)
            m_line.waitForBytesWritten(m_replyTimeoutBase);
        m_line.clear(QSerialPort::AllDirections);
    }
    m_line.close();
    return 0;
}

bool SerialLink::setBaudRate(int rate)
{
    const bool known = std::find(std::begin(kLineRates), std::end(kLineRates), rate) != std::end(kLineRates);
    return m_line.setBaudRate(known ? rate : kStartBaudRate, QSerialPort::AllDirections);
}

int SerialLink::comWaitBytes(int count, int timeoutMs)
{
    const uint32_t start = m_line.tick();
    for (;;) {
        // Already-buffered bytes must not cost a wait.
        qint64 available = m_line.bytesAvailable();
        if (available < count) {
            // A port in error returns at once; do not spin on it.
            if (!m_line.waitForReadyRead(timeoutMs))
                m_line.sleep(1);
            available = m_line.bytesAvailable();
        }
        if (available >= count)
            return int(available & 0xFFFFFFFF);
        if (uint32_t(m_line.tick() - start) > uint32_t(timeoutMs))
            return int(available & 0xFFFFFFFF);
        if (!m_line.isOpen())
            return int(available & 0xFFFFFFFF);
    }
}

} // namespace bsl
