#include "simulator.h"

#include "simtarget.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace nvxsim {

namespace {

using Clock = Target::Clock;

constexpr int kPollMs = 10;          // serve loop tick while nothing happens
constexpr int kHupSettleMs = 2;      // pause while a hang-up awaits its close notification
constexpr int kHupStreakClose = 25;  // ~50 ms of hang-up without notification: host gone
constexpr int kPresentStreakOpen = 3; // ~30 ms of presence without notification: host there
constexpr int kBitsPerByte = 11;     // start, 8 data, even parity, stop

Clock::duration byteTime(int baud)
{
    return std::chrono::nanoseconds(kBitsPerByte * 1000000000LL / baud);
}

} // namespace

struct Simulator::Impl {
    explicit Impl(const Config &config) : target(config) {}

    void serve();
    bool masterHungUp();
    void drainWatch();
    void receive();
    void send(const std::vector<uint8_t> &reply, Clock::time_point arrival, int baud);
    bool writeAll(const uint8_t *bytes, size_t count);
    void hostOpened();
    void hostClosed();

    mutable std::mutex mutex;
    Target target;             // guarded by mutex
    bool connected = false;    // guarded by mutex
    Clock::time_point lineInFree{}; // guarded by mutex: when the host-to-target line is idle again

    std::thread thread;
    std::atomic<bool> stopping{false};
    int master = -1;
    int watch = -1;            // inotify on the slave path: opens and closes by any process
    std::string path;

    // Serve-thread state.
    int openers = 0;
    int hupStreak = 0;
    int presentStreak = 0;
};

Simulator::Simulator(const Config &config) : d(std::make_unique<Impl>(config)) {}

Simulator::~Simulator()
{
    stop();
}

bool Simulator::start()
{
    if (d->thread.joinable())
        return false;
    termios raw{};
    cfmakeraw(&raw);
    raw.c_cflag |= CREAD | CLOCAL;
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0)
        return false;
    char name[256] = {};
    if (ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        ::close(slave);
        return false;
    }
    // Our own slave descriptor would hide the host's hang-up; only the host holds it.
    ::close(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    d->master = master;
    d->path = name;
    d->watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (d->watch >= 0
        && inotify_add_watch(d->watch, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(d->watch);
        d->watch = -1; // fall back to watching the hang-up state alone
    }
    d->openers = 0;
    d->hupStreak = d->presentStreak = 0;
    d->stopping = false;
    d->thread = std::thread([this] { d->serve(); });
    return true;
}

void Simulator::stop()
{
    if (d->thread.joinable()) {
        d->stopping = true;
        d->thread.join();
    }
    if (d->master >= 0)
        ::close(d->master);
    if (d->watch >= 0)
        ::close(d->watch);
    d->master = d->watch = -1;
    std::lock_guard<std::mutex> lock(d->mutex);
    d->connected = false;
}

std::string Simulator::slavePath() const
{
    return d->path;
}

void Simulator::Impl::serve()
{
    // A UART keeps its bit times: the paced replies wake on time, not up to
    // the default 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!stopping) {
        pollfd fds[2];
        nfds_t n = 0;
        int watchIndex = -1, masterIndex = -1;
        if (watch >= 0) {
            fds[n] = {watch, POLLIN, 0};
            watchIndex = static_cast<int>(n++);
        }
        // Nobody on the slave side means a permanent hang-up: wait on the watch instead.
        if (openers > 0 || watch < 0) {
            fds[n] = {master, POLLIN, 0};
            masterIndex = static_cast<int>(n++);
        }
        const int ready = ::poll(fds, n, kPollMs);
        if (ready < 0) {
            if (errno != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            continue;
        }
        if (watchIndex >= 0 && (fds[watchIndex].revents & POLLIN))
            drainWatch();

        const bool hungUp = masterHungUp();
        // The notifications can coalesce or miss an opener; the hang-up state corrects the count.
        const int presentNeeded = watch >= 0 ? kPresentStreakOpen : 1;
        const int hupNeeded = watch >= 0 ? kHupStreakClose : 1;
        if (openers == 0) {
            if (hungUp && masterIndex >= 0) // watching the hang-up alone: do not spin on it
                std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            presentStreak = hungUp ? 0 : presentStreak + 1;
            if (presentStreak >= presentNeeded) {
                openers = 1;
                presentStreak = 0;
                hostOpened();
            }
        } else if (hungUp) {
            if (masterIndex >= 0 && (fds[masterIndex].revents & POLLIN))
                receive(); // what the host wrote before it closed
            if (++hupStreak >= hupNeeded) {
                openers = 0;
                hupStreak = 0;
                hostClosed();
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(kHupSettleMs));
            }
            continue;
        } else {
            hupStreak = 0;
        }
        if (openers > 0 && masterIndex >= 0 && (fds[masterIndex].revents & POLLIN))
            receive();
    }
}

bool Simulator::Impl::masterHungUp()
{
    pollfd p{master, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

void Simulator::Impl::drainWatch()
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(watch, buffer, sizeof buffer);
        if (n <= 0)
            return;
        hupStreak = presentStreak = 0;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            if ((event->mask & IN_OPEN) && ++openers == 1)
                hostOpened();
            if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && openers > 0 && --openers == 0)
                hostClosed();
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void Simulator::Impl::hostOpened()
{
    std::lock_guard<std::mutex> lock(mutex);
    connected = true;
    lineInFree = Clock::now();
    target.sessionStart();
}

void Simulator::Impl::hostClosed()
{
    std::lock_guard<std::mutex> lock(mutex);
    connected = false;
    target.sessionEnd();
}

void Simulator::Impl::receive()
{
    uint8_t buffer[512];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0)
        return;
    const Clock::time_point now = Clock::now();
    for (ssize_t i = 0; i < n; ++i) {
        std::vector<uint8_t> reply;
        int baud = 0;
        Clock::time_point arrival = now;
        {
            std::lock_guard<std::mutex> lock(mutex);
            baud = target.lineBaud;
            if (baud > 0) {
                // The host's bytes reach the target one after another at the line rate.
                arrival = std::max(lineInFree, now) + byteTime(baud);
                lineInFree = arrival;
            }
            target.arrival = arrival;
            reply = target.feed(buffer[i], now);
        }
        if (!reply.empty())
            send(reply, arrival, baud);
    }
}

void Simulator::Impl::send(const std::vector<uint8_t> &reply, Clock::time_point arrival, int baud)
{
    if (baud <= 0) {
        writeAll(reply.data(), reply.size());
        return;
    }
    const Clock::time_point start = std::max(arrival, Clock::now());
    const Clock::duration perByte = byteTime(baud);
    for (size_t i = 0; i < reply.size() && !stopping; ++i) {
        std::this_thread::sleep_until(start + perByte * static_cast<int>(i + 1));
        if (!writeAll(&reply[i], 1))
            return;
    }
}

bool Simulator::Impl::writeAll(const uint8_t *bytes, size_t count)
{
    while (count > 0 && !stopping) {
        const ssize_t n = ::write(master, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, kPollMs);
        } else {
            return false;
        }
    }
    return count == 0;
}

std::vector<uint8_t> Simulator::read(uint32_t address, size_t length) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->target.memory.read(address, length);
}

void Simulator::write(uint32_t address, const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->target.memory.write(address, bytes);
}

bool Simulator::loadTiTxt(const std::string &text)
{
    std::vector<TiTxtBlock> blocks;
    if (!parseTiTxt(text, blocks))
        return false;
    std::lock_guard<std::mutex> lock(d->mutex);
    for (const TiTxtBlock &block : blocks)
        d->target.memory.write(block.address, block.bytes);
    return true;
}

std::string Simulator::dumpTiTxt(uint32_t address, size_t length, bool skipErased) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return formatTiTxtSection(d->target.memory, address, length, skipErased) + "q\n";
}

void Simulator::setFaults(const Faults &faults)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->target.faults = faults;
}

Faults Simulator::faults() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->target.faults;
}

Stats Simulator::stats() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->target.stats;
}

void Simulator::resetStats()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->target.stats = Stats();
}

std::vector<Command> Simulator::commandLog() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->target.log;
}

void Simulator::clearCommandLog()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->target.log.clear();
}

bool Simulator::locked() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->target.locked;
}

Config Simulator::config() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->target.config;
}

int Simulator::lineBaud() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->target.lineBaud;
}

bool Simulator::hostConnected() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->connected;
}

} // namespace nvxsim
