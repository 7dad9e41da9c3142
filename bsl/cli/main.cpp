// bslengine: the engine as a service technician uses it from a shell.

#include "bslengine.h"
#include "enginesink.h"

#include <QCoreApplication>

#include <cstdio>
#include <vector>

namespace {

class StdoutSink : public bsl::EngineSink
{
public:
    void message(const char *text) override { std::fputs(text, stdout); }
    void status(int) override {}
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
    bsl::setEngineSink(&sink);
    const int result = bsl::bslEngineMain(int(args.size()), args.data());
    bsl::setEngineSink(nullptr);
    std::fflush(stdout);
    return result == 100 ? 0 : result;
}
