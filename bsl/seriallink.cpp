#include "seriallink.h"

#include "enginesink.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QThread>

#include <memory>

namespace bsl {

namespace {

constexpr int kDefaultRate = 9600; // baud after open and for unknown rates
constexpr char kWindowsDevicePrefix[] = "\\\\.\\"; // stored by -c, meaningful on Windows only

struct LinkState
{
    std::unique_ptr<QSerialPort> port; // port of the current run; fresh each run
    int replyTimeoutBase = kDefaultReplyTimeoutBase;
    int replyTimeoutFactor = kDefaultReplyTimeoutFactor;
    LinkTransport *transport = nullptr; // stands in for the port when set
    bool transportOpen = false;
    int transportRate = kDefaultRate;
};

LinkState &link()
{
    static LinkState state;
    return state;
}

QSerialPort *port()
{
    return link().port.get();
}

LinkTransport *openTransport()
{
    return link().transportOpen ? link().transport : nullptr;
}

QSerialPort::Directions directionOf(int direction)
{
    if (direction == 0)
        return QSerialPort::Input;
    if (direction == 1)
        return QSerialPort::Output;
    return QSerialPort::AllDirections;
}

bool openPort(int mode)
{
    QIODevice::OpenMode openMode = QIODevice::ReadWrite;
    if (mode == 0)
        openMode = QIODevice::ReadOnly;
    else if (mode == 1)
        openMode = QIODevice::WriteOnly;
    return port()->open(openMode);
}

} // namespace

void comSetTransport(LinkTransport *transport)
{
    link().transport = transport;
    link().transportOpen = false;
}

int comOpen(const char *portName, int timeoutBase, int timeoutFactor)
{
    LinkState &state = link();
    state.replyTimeoutBase = timeoutBase;
    state.replyTimeoutFactor = timeoutFactor;

    if (state.transport) {
        state.port.reset();
        state.transportOpen = portName && *portName;
        if (!state.transportOpen)
            return 2;
        enginePrint("%s", portName);
        state.transportRate = kDefaultRate;
        state.transport->clearInput();
        return 0;
    }

    // The port of an earlier run is never reused.
    state.port.reset(new QSerialPort());
    if (!state.port || !portName || !*portName) {
        state.port.reset();
        return 2;
    }
    enginePrint("%s", portName);

    QByteArray name(portName);
#ifndef Q_OS_WIN
    if (name.startsWith(kWindowsDevicePrefix))
        name.remove(0, int(sizeof kWindowsDevicePrefix) - 1);
#endif
    state.port->setPortName(QString::fromUtf8(name));
    if (!openPort(2)) {
        state.port.reset();
        return 2;
    }
    // Line settings a pseudo-terminal refuses (modem lines) are not fatal.
    comSetBaudRate(kDefaultRate, 2);
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
    link().transportOpen = false;
    if (QSerialPort *p = port()) {
        if (p->isOpen()) {
            // Only pending output is worth the wait; an idle port would
            // otherwise cost the whole time-out.
            if (p->bytesToWrite() > 0)
                p->waitForBytesWritten(link().replyTimeoutBase);
            p->clear(QSerialPort::AllDirections);
            p->close();
        }
        link().port.reset();
    }
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
    const int chosen = (rate == 19200 || rate == 38400) ? rate : kDefaultRate;
    if (openTransport()) {
        link().transportRate = chosen;
        return true;
    }
    if (!port())
        return false;
    return port()->setBaudRate(chosen, directionOf(direction));
}

int comBaudRate()
{
    if (openTransport())
        return link().transportRate;
    return port() ? port()->baudRate(QSerialPort::AllDirections) : 0;
}

bool comSetDataBits(int code)
{
    if (!port() || code != 0)
        return false;
    return port()->setDataBits(QSerialPort::Data8);
}

bool comSetParity(int code)
{
    if (!port())
        return false;
    switch (code) {
    case 1: return port()->setParity(QSerialPort::EvenParity);
    case 2: return port()->setParity(QSerialPort::OddParity);
    case 3: return port()->setParity(QSerialPort::SpaceParity);
    case 4: return port()->setParity(QSerialPort::MarkParity);
    default: return port()->setParity(QSerialPort::NoParity);
    }
}

bool comSetStopBits(int code)
{
    if (!port())
        return false;
    switch (code) {
    case 0: return port()->setStopBits(QSerialPort::OneStop);
    case 1: return port()->setStopBits(QSerialPort::OneAndHalfStop);
    default: return port()->setStopBits(QSerialPort::TwoStop);
    }
}

bool comSetFlowControl(int code)
{
    if (!port())
        return false;
    switch (code) {
    case 1: return port()->setFlowControl(QSerialPort::HardwareControl);
    case 2: return port()->setFlowControl(QSerialPort::SoftwareControl);
    default: return port()->setFlowControl(QSerialPort::NoFlowControl);
    }
}

bool comSetDtr(bool asserted)
{
    return port() && port()->setDataTerminalReady(asserted);
}

bool comSetRts(bool asserted)
{
    return port() && port()->setRequestToSend(asserted);
}

void comSetTextMode(bool on)
{
    if (port())
        port()->setTextModeEnabled(on);
}

bool comClear(int code)
{
    if (LinkTransport *t = openTransport()) {
        if (code == 0 || code == 2)
            t->clearInput();
        return code >= 0 && code <= 2;
    }
    if (!port())
        return false;
    switch (code) {
    case 0: return port()->clear(QSerialPort::Input);
    case 1: return port()->clear(QSerialPort::Output);
    case 2: return port()->clear(QSerialPort::AllDirections);
    default: return false;
    }
}

qint64 comWrite(const uint8_t *bytes, qint64 count)
{
    if (LinkTransport *t = openTransport())
        return t->write(bytes, count);
    if (!port())
        return -1;
    return port()->write(reinterpret_cast<const char *>(bytes), count);
}

qint64 comRead(uint8_t *bytes, qint64 count)
{
    if (LinkTransport *t = openTransport())
        return t->read(bytes, count);
    if (!port())
        return -1;
    return port()->read(reinterpret_cast<char *>(bytes), count);
}

qint64 comBytesAvailable()
{
    if (LinkTransport *t = openTransport())
        return t->bytesAvailable();
    return port() ? port()->bytesAvailable() : 0;
}

bool comWaitForReadyRead(int ms)
{
    if (LinkTransport *t = openTransport())
        return t->waitForReadyRead(ms);
    return port() && port()->waitForReadyRead(ms);
}

bool comWaitForBytesWritten(int ms)
{
    if (openTransport())
        return true;
    return port() && port()->waitForBytesWritten(ms);
}

int comWaitBytes(int count, int timeoutMs)
{
    const uint32_t start = tickMs();
    for (;;) {
        // Already-buffered bytes must not cost a wait.
        qint64 available = comBytesAvailable();
        if (available < count) {
            // A port in error returns at once; do not spin on it.
            if (!comWaitForReadyRead(timeoutMs)) {
                if (openTransport()) // nothing more comes within this wait
                    return int(comBytesAvailable() & 0xFFFFFFFF);
                sleepMs(1);
            }
            available = comBytesAvailable();
        }
        if (available >= count)
            return int(available & 0xFFFFFFFF);
        if (uint32_t(tickMs() - start) > uint32_t(timeoutMs))
            return int(available & 0xFFFFFFFF);
        if (!openTransport() && (!port() || !port()->isOpen()))
            return int(available & 0xFFFFFFFF);
    }
}

uint32_t tickMs()
{
    static QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return uint32_t(timer.elapsed());
}

void sleepMs(unsigned long ms)
{
    if (LinkTransport *t = link().transport) {
        t->sleep(ms);
        return;
    }
    QThread::msleep(ms);
}

} // namespace bsl
