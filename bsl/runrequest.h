#pragma once

#include "engineresult.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a caller asks of one engine run, and what the run leaves for it. The
// command line (bslEngineMain) and BackEnd are two ways of filling the same
// request; nothing else reaches the engine.
namespace bsl {

constexpr uint16_t kDefaultMaxFrameData = 240; // bytes of data per frame
constexpr int kDefaultMassEraseCycles = 20;
constexpr int kMaxPortNameLength = 99; // longest port name (-c) the engine takes; a longer one is refused

struct ActionFlags
{
    bool massErase = false;
    bool eraseCheck = false;
    bool fastEraseCheck = false;
    bool program = false;
    bool verify = false;
    bool reset = false;
    bool userCalled = false;
    bool waitForEnter = false; // accepted, no effect
    bool onePass = false;
    bool changeBaud = false;
    bool invokeBsl = false;
    bool readMemory = false;
    bool eraseSegment = false;
    bool extendedMemory = false;
    bool restoreInfoA = false;
};

// What a loader says of itself in its identity block (0x0FF0).
struct LoaderIdentity
{
    uint8_t family[2] = {0, 0};
    uint8_t process[2] = {0, 0};
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;

    uint16_t versionWord() const { return uint16_t(versionMajor * 256 + versionMinor); }
    bool operator==(const LoaderIdentity &o) const
    {
        return family[0] == o.family[0] && family[1] == o.family[1] && process[0] == o.process[0]
            && process[1] == o.process[1] && versionMajor == o.versionMajor && versionMinor == o.versionMinor;
    }
    bool operator!=(const LoaderIdentity &o) const { return !(*this == o); }
};

// What a command line can ask for. parseCommandLine resets the fields marked
// "per run" and leaves the others (options) as the caller's earlier command
// line set them: a caller that runs several command lines keeps one of these
// between them, as the engine's process does.
struct EngineSettings
{
    ActionFlags actions; // per run
    std::optional<std::string> programFile; // per run
    std::optional<std::string> passwordFile; // per run
    std::optional<std::string> bufferText; // per run
    std::string patchFile = "PATCH.TXT"; // per run
    std::optional<std::string> loaderFile; // per run (bslEngineMain clears it)

    int passwordIndex = 0; // kept; -p
    std::string portName = "COM1"; // kept; -c, stored as "\\.\" + the name
    uint16_t maxFrameData = kDefaultMaxFrameData; // kept; -f
    int massEraseCycles = kDefaultMassEraseCycles; // kept; -m
    uint8_t baudIndex = 0; // kept; -s
    uint32_t start = 0; // kept; -r, -e
    uint32_t length = 0; // kept; -r
    std::string readFile; // kept; -r
};

// What only the toolkit's own runs ask for; a command line asks for none.
struct RunOptions
{
    // The loader as a run before this one read it (the check before an
    // erase): it holds for this run, whatever this run's own read makes of
    // the line.
    std::optional<LoaderIdentity> knownLoader;
    // The memory offset (0x21) only when the loader's changes: most frames
    // of the -x bracket set the offset it has already. The one that ends a
    // run still goes out.
    bool offsetsWhenChanged = false;
    // The rate-change command only for a loader family whose clock words
    // are known: for any other the word would be a guess (0 at first) that
    // the loader loads into its clock registers.
    bool rateOnlyForKnownFamilies = false;
    // After a rate change, a RAM block of full size written and read back:
    // the check before an erase proves what programming will send.
    bool checkFullFrames = false;
    // After programming, every block of the buffer text and the file read
    // back and compared, whatever the loader says it verified itself.
    bool readBack = false;
    // The memory read (-r) hands its bytes to the caller in RunOutcome and
    // writes no file.
    bool readToCaller = false;
};

struct RunRequest
{
    EngineSettings settings;
    RunOptions toolkit;
};

// What one run learned, for its caller.
struct RunOutcome
{
    int result = kResultHelpOrPort; // 100, 100 + the code the run ended with, or 1
    std::optional<LoaderIdentity> loader; // read in this run, or handed in; none when it knew none
    bool opened = false; // a password opened the loader (whatever happened after)
    int lineRate = kStartBaudRate; // the rate the run ended up at
    std::optional<uint32_t> firstDifference; // where a verification first found memory not as the file says
    std::vector<uint8_t> memory; // what the memory read (-r) read, when the run ended well
};

} // namespace bsl
