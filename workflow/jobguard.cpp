#include "jobguard.h"

#include <atomic>

namespace workflow::jobguard {

namespace {
constexpr int kStopping = -1;
std::atomic<int> g_depth{0}; // phases entered; kStopping once the process stops
std::atomic<int> g_held{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need a lock-free state");
} // namespace

bool enter()
{
    int depth = g_depth.load();
    while (depth != kStopping) {
        if (g_depth.compare_exchange_weak(depth, depth + 1))
            return true;
    }
    return false;
}

void leave()
{
    int depth = g_depth.load();
    while (depth > 0 && !g_depth.compare_exchange_weak(depth, depth - 1)) {
    }
}

bool active()
{
    return g_depth.load() > 0;
}

bool holdSignal(int signal)
{
    int depth = 0;
    if (g_depth.compare_exchange_strong(depth, kStopping))
        return false;
    if (depth == kStopping)
        return false;
    int none = 0;
    g_held.compare_exchange_strong(none, signal);
    return true;
}

int heldSignal()
{
    return g_held.load();
}

} // namespace workflow::jobguard
