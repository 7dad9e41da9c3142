#pragma once

#include <cstdarg>

namespace bsl {

// Where the engine's printed lines and status values go. The engine knows no
// caller: the command-line program prints to stdout, BackEnd relays them as
// properties.
class EngineSink
{
public:
    virtual ~EngineSink() = default;
    virtual void message(const char *text) = 0;
    virtual void status(int value) = 0;
};

// The sink of the current run; stays set after the run ends.
void setEngineSink(EngineSink *sink);
EngineSink *engineSink();

// Formats like printf and hands the whole text to the sink as one message.
void enginePrint(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void engineStatus(int value);

} // namespace bsl
