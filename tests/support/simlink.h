// Host side for the simulator tests: a real QSerialPort on the slave path and hand-built frames.
#pragma once

#include "simulator.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QSerialPort>

#include <memory>

namespace simtest {

constexpr char kAck = char(0x90);
constexpr char kNak = char(0xA0);

// Inverted XOR of the 16-bit little-endian words of the frame body.
inline QByteArray checksum(const QByteArray &body)
{
    quint16 x = 0;
    for (int i = 0; i < body.size(); i += 2) {
        const quint16 lo = quint8(body[i]);
        const quint16 hi = i + 1 < body.size() ? quint8(body[i + 1]) : 0;
        x ^= quint16(lo | (hi << 8));
    }
    x = quint16(~x);
    return QByteArray{} + char(x & 0xFF) + char(x >> 8);
}

inline QByteArray frame(quint8 cmd, quint16 address, quint16 length, const QByteArray &data = {})
{
    const char l = char(4 + data.size());
    QByteArray body;
    body += char(0x80);
    body += char(cmd);
    body += l;
    body += l;
    body += char(address & 0xFF);
    body += char(address >> 8);
    body += char(length & 0xFF);
    body += char(length >> 8);
    body += data;
    return body + checksum(body);
}

inline QByteArray bytes(const std::vector<uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size()));
}

inline QByteArray defaultPassword()
{
    const auto v = nvxsim::defaultVectors();
    return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size()));
}

class Link {
public:
    explicit Link(const std::string &path) { port.setPortName(QString::fromStdString(path)); }

    bool open()
    {
        return port.open(QIODevice::ReadWrite) && port.setBaudRate(QSerialPort::Baud9600);
    }
    void close() { port.close(); }

    void send(const QByteArray &data)
    {
        port.write(data);
        port.waitForBytesWritten(200);
    }

    // Up to n bytes within timeoutMs.
    QByteArray receive(int n, int timeoutMs)
    {
        QByteArray out;
        QElapsedTimer timer;
        timer.start();
        while (out.size() < n) {
            if (port.bytesAvailable() == 0) {
                const qint64 left = timeoutMs - timer.elapsed();
                if (left <= 0 || !port.waitForReadyRead(int(left)))
                    break;
            }
            out += port.read(n - out.size());
        }
        return out;
    }

    // One reply: a single ACK/NAK byte or a whole data frame.
    QByteArray reply(int timeoutMs = 1000)
    {
        QByteArray out = receive(1, timeoutMs);
        if (out.size() == 1 && out[0] == char(0x80)) {
            out += receive(3, 500);
            if (out.size() == 4)
                out += receive(quint8(out[2]) + 2, 1000);
        }
        return out;
    }

    bool sync()
    {
        send(QByteArray(1, char(0x80)));
        return receive(1, 500) == QByteArray(1, kAck);
    }

    // Sync, then the frame; the reply (empty when the sync is not answered).
    QByteArray command(quint8 cmd, quint16 address, quint16 length, const QByteArray &data = {})
    {
        if (!sync())
            return {};
        send(frame(cmd, address, length, data));
        return reply();
    }

    bool unlock(const QByteArray &password = defaultPassword())
    {
        return command(0x10, 0xFFE0, 32, password) == QByteArray(1, kAck);
    }

    QSerialPort port;
};

// A started default instrument with a host port open on it. Faults and memory
// set before up() are there from the first byte.
struct Bench {
    explicit Bench(const nvxsim::Config &config = nvxsim::Config(), uint8_t major = 1, uint8_t minor = 10)
        : sim(config)
    {
        nvxsim::loadDefaultInstrument(sim, major, minor);
    }
    bool up()
    {
        if (!sim.start())
            return false;
        link = std::make_unique<Link>(sim.slavePath());
        return link->open();
    }
    nvxsim::Simulator sim;
    std::unique_ptr<Link> link;
};

} // namespace simtest
