#pragma once

// Shared pieces of the engine tests: a sink that records what the engine
// prints, and a tiny scripted target on a pseudo-terminal for frame-level
// cases the virtual instrument does not produce.

#include "enginesink.h"
#include "runrequest.h"
#include "seriallink.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Records what the engine prints and reports, and runs it as its process
// does, one command line after another: the options a command line keeps for
// the next (-f, -m, -p's index, the port, ...) stay in kept, and the line is
// the serial port named, or line when a test sets one.
class RecordingSink : public bsl::EngineSink
{
public:
    void message(const char *text) override { messages.append(QByteArray(text)); }
    void status(int value) override { statuses.append(value); }

    // Runs the engine with a vector of texts; argv[0] is added.
    int run(const std::vector<std::string> &args);

    QByteArray all() const { return messages.join(); }
    bool has(const QByteArray &text) const { return messages.contains(text); }
    int count(const QByteArray &text) const { return int(messages.count(text)); }
    void clear()
    {
        messages.clear();
        statuses.clear();
    }

    QList<QByteArray> messages;
    QList<int> statuses;
    bsl::EngineSettings kept;
    bsl::LinkTransport *line = nullptr;
};

// Answers each sync byte with syncReply (or nothing) and each complete frame
// with the next scripted reply (ACK when the script is empty). Records every
// frame it received, raw.
class ScriptedTarget
{
public:
    ScriptedTarget()
    {
        char name[128] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0) {
            termios t;
            tcgetattr(m_master, &t);
            cfmakeraw(&t);
            tcsetattr(m_master, TCSANOW, &t);
            m_path = name;
            m_thread = std::thread([this] { serve(); });
        }
    }
    ~ScriptedTarget()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_master >= 0)
            ::close(m_master);
    }
    std::string path() const { return m_path; }

    void setSyncReply(int byte) { m_syncReply = byte; } // -1: silent
    void queueReply(const QByteArray &bytes)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_replies.push_back(bytes);
    }
    QList<QByteArray> frames() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    int syncs() const { return m_syncs; }

    // A reply data frame 80 00 L L data CKL CKH, optionally spoiled.
    static QByteArray dataFrame(const QByteArray &data, int l2 = -1, bool badChecksum = false, int cmd = 0)
    {
        QByteArray f;
        f.append(char(0x80)).append(char(cmd)).append(char(data.size())).append(char(l2 < 0 ? data.size() : l2));
        f.append(data);
        uint8_t lo = 0, hi = 0;
        for (int i = 0; i < f.size(); ++i)
            (i % 2 ? hi : lo) ^= uint8_t(f[i]);
        f.append(char(~lo ^ (badChecksum ? 1 : 0))).append(char(~hi));
        return f;
    }

private:
    void serve()
    {
        std::vector<uint8_t> pending;
        bool synced = false;
        while (!m_stop) {
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN))
                continue;
            uint8_t buf[512];
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n <= 0)
                continue;
            pending.insert(pending.end(), buf, buf + n);
            for (;;) {
                if (pending.empty())
                    break;
                if (!synced) {
                    const uint8_t b = pending.front();
                    pending.erase(pending.begin());
                    if (b == 0x80) {
                        ++m_syncs;
                        if (m_syncReply >= 0) {
                            const uint8_t r = uint8_t(m_syncReply);
                            send(&r, 1);
                            synced = true;
                        }
                    }
                    continue;
                }
                if (pending.size() < 4 || pending.size() < size_t(pending[2]) + 6)
                    break;
                const size_t len = size_t(pending[2]) + 6;
                QByteArray frame(reinterpret_cast<const char *>(pending.data()), int(len));
                pending.erase(pending.begin(), pending.begin() + long(len));
                synced = false;
                QByteArray reply(1, char(0x90));
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_frames.append(frame);
                    if (!m_replies.empty()) {
                        reply = m_replies.front();
                        m_replies.pop_front();
                    }
                }
                if (!reply.isEmpty())
                    send(reply.constData(), size_t(reply.size()));
            }
        }
    }

    // All of it: a reply cut short would look like a loader that stopped
    // answering. Only a closed engine side ends it early.
    void send(const void *data, size_t count)
    {
        const char *bytes = static_cast<const char *>(data);
        while (count > 0) {
            const ssize_t n = ::write(m_master, bytes, count);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            bytes += n;
            count -= size_t(n);
        }
    }

    int m_master = -1;
    int m_slave = -1; // kept open so the master never sees a hang-up between runs
    std::string m_path;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_syncReply{0x90};
    std::atomic<int> m_syncs{0};
    mutable std::mutex m_mutex;
    std::deque<QByteArray> m_replies;
    QList<QByteArray> m_frames;
};
