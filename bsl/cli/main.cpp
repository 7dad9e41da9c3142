// bslengine: the engine as a service technician uses it from a shell.

#include "bslengine.h"
#include "enginesink.h"

#include <QCoreApplication>

#include <cstdio>
#include <vector>

namespace {

// The engine's lines as they come, and each frame's bytes as it goes out.
class StdoutSink : public bsl::EngineSink
{
public:
    void message(const char *text) override { std::fputs(text, stdout); }
    void status(int) override {}
    void written(const uint8_t *bytes, int count) override
    {
        for (int i = 0; i < count; ++i)
            std::printf("%x ", unsigned(bytes[i]));
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv); // the serial port wants an application object

    std::vector<char *> args(argv, argv + argc);
    char name[] = "BSLENGINE";
    if (args.empty())
        args.push_back(name);
    else
        args[0] = name;

    StdoutSink sink;
    bsl::EngineSettings settings;
    const int result = bsl::bslEngineMain(int(args.size()), args.data(), sink, settings);
    std::fflush(stdout);
    return result == 100 ? 0 : result;
}
