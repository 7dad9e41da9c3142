#include "enginesink.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace bsl {

void EngineSink::print(const char *format, ...)
{
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
        message(small);
        return;
    }
    std::vector<char> big(static_cast<size_t>(needed) + 1);
    std::vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    message(big.data());
}

} // namespace bsl
