#include "enginesink.h"

#include <cstdio>
#include <vector>

namespace bsl {

namespace {
EngineSink *g_sink = nullptr;
} // namespace

void setEngineSink(EngineSink *sink)
{
    g_sink = sink;
}

EngineSink *engineSink()
{
    return g_sink;
}

void enginePrint(const char *format, ...)
{
    if (!g_sink)
        return;
    // Most messages are short; traces of whole frames are not, so size to fit.
    char small[320];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (needed < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        va_end(copy);
        g_sink->message(small);
        return;
    }
    std::vector<char> big(static_cast<size_t>(needed) + 1);
    std::vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    g_sink->message(big.data());
}

void engineStatus(int value)
{
    if (g_sink)
        g_sink->status(value);
}

} // namespace bsl
