#pragma once

#include <cstdint>

namespace bsl {

// Where the engine's printed lines and status values go. The engine knows no
// caller: the command-line program prints to stdout, BackEnd relays them as
// properties. One sink serves one run at a time; the run holds it for as
// long as it lasts.
class EngineSink
{
public:
    virtual ~EngineSink() = default;
    virtual void message(const char *text) = 0;
    virtual void status(int value) = 0;
    // The bytes of each frame as it went out on the line. The command-line
    // program echoes them; the toolkit has no use for them.
    virtual void written(const uint8_t *, int) {}

    // Formats like printf and hands the whole text to message as one.
    void print(const char *format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
};

} // namespace bsl
