// The engine's argument vector is arbitrary: parsing must keep every setting
// inside the limits the run relies on, and a run with the parsed settings
// against a well-behaved loader must end with a result code.
//
// Input: the arguments after argv[0], separated by NUL bytes.

#include "bslengine.h"
#include "fuzzsupport.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxArgs = 24;
constexpr int kMaxCyclesRun = 64; // a run repeats the mass erase this often
constexpr uint32_t kMaxReadRun = 0x4000; // bytes a run may read in one input

void checkLimits(const bsl::EngineSettings &s)
{
    if (s.maxFrameData < 16 || s.maxFrameData > 240 || s.maxFrameData % 16 != 0)
        std::abort();
    if (s.massEraseCycles < 1)
        std::abort();
    if (s.baudIndex > 9)
        std::abort();
}

// File names stay in the scratch folder; huge counts are the user's choice
// and only cost time.
bool safeToRun(const std::vector<std::string> &args, const bsl::EngineSettings &s)
{
    for (const std::string &a : args) {
        if (a.find('/') != std::string::npos || a.find("..") != std::string::npos)
            return false;
    }
    if (s.actions.readMemory && s.length > kMaxReadRun)
        return false;
    return s.massEraseCycles <= kMaxCyclesRun && s.passwordIndex >= 0 && s.passwordIndex < 1000;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::makeEngineFiles();
    std::vector<std::string> args = {"BSLENGINE"};
    std::string current;
    for (size_t i = 0; i < size && args.size() < kMaxArgs; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(char(data[i]));
        }
    }
    if (!current.empty() && args.size() < kMaxArgs)
        args.push_back(current);

    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    fuzz::QuietSink sink;
    bsl::EngineSettings settings;
    const int parsed = bsl::parseCommandLine(int(args.size()), argv.data(), settings, sink);
    checkLimits(settings);

    if (parsed == 0 && safeToRun(args, settings)) {
        nvxtest::MemoryTransport transport;
        transport.recordTraffic = false;
        // The run parses again: settings kept between runs stay as parsed.
        const int result = bsl::bslEngineMain(int(args.size()), argv.data(), sink, settings, &transport);
        if (result != 1 && (result < 100 || result > 199))
            std::abort();
        // A port name too long for the port is refused whole, never cut.
        if (settings.portName.size() > size_t(bsl::kMaxPortNameLength) && result != 1)
            std::abort();
        checkLimits(settings);
        if (settings.actions.readMemory)
            std::remove(settings.readFile.c_str());
    }
    return 0;
}
