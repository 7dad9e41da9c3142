#pragma once

#include "engineresult.h"

#include <cstdint>
#include <optional>
#include <string>

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

// What the toolkit's own runs ask for beyond the command line. BackEnd sets
// them before each run and bslEngineMain clears them as the run returns, so
// the command-line program, and any run after, goes without them.
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
    // After a rate change, a RAM block of full size written and read back:
    // the check before an erase proves what programming will send.
    bool checkFullFrames = false;
    // After programming, every block of the buffer text and the file read
    // back and compared, whatever the loader says it verified itself.
    bool readBack = false;
};

// What one run starts from and what it keeps, in one place:
// - EngineSettings: parseCommandLine resets actions, programFile,
//   passwordFile, bufferText and patchFile for every run, bslEngineMain clears
//   loaderFile. The fields marked "kept" are options and keep the value an
//   earlier run's option gave them.
// - TargetState: everything learned from the connected target (identity,
//   loader version, patch flags, clock word). bslEngineMain starts every run
//   with a clean one, so nothing learned from one instrument can steer a run
//   on another (or on the same one after it was restarted): a run on a new
//   loader never gets the old loaders' patch, and the patch entry is used only
//   after this run has loaded the patch.
// - RunTimes: runStart is kept when the entry sequence is skipped.
// - infoA: for one pass.
struct EngineSettings
{
    ActionFlags actions; // reset per run
    std::optional<std::string> programFile; // reset per run
    std::optional<std::string> passwordFile; // reset per run
    std::optional<std::string> bufferText; // reset per run
    std::string patchFile = "PATCH.TXT"; // reset per run
    std::optional<std::string> loaderFile; // cleared by bslEngineMain

    int passwordIndex = 0; // kept; -p
    std::string portName = "COM1"; // kept; -c
    uint16_t maxFrameData = kDefaultMaxFrameData; // kept; -f
    int massEraseCycles = kDefaultMassEraseCycles; // kept; -m
    uint8_t baudIndex = 0; // kept; -s
    uint32_t start = 0; // kept; -r, -e
    uint32_t length = 0; // kept; -r
    std::string readFile; // kept; -r

    RunOptions toolkit; // cleared as each run returns
};

// What the target told us and what the run derived from it. Reset at the
// start of every run; a failed version read leaves these start values (or
// what an earlier read in the same run found).
struct TargetState
{
    uint8_t family[2] = {0, 0};
    uint8_t process[2] = {0, 0};
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint16_t versionWord = 0; // 0: not read in this run
    // The identity is this loader's: read in this run, or handed in. Without
    // it nothing is guessed: no rate change, no flash access.
    bool identityKnown = false;
    bool unlocked = false; // a password opened the loader in this run
    std::optional<uint16_t> memoryOffset; // the loader's, as its last 0x21 set it; none: not known
    std::optional<uint32_t> firstDifference; // where a verification first found memory not as the file says
    uint16_t errorAddressVariable = 0x0200;
    bool patchRequired = false;
    bool patchLoaded = false;
    uint16_t clockWord = 0; // last one chosen by a baud-rate change
    int lineRate = kStartBaudRate; // baud the line runs at after the rate change, if any
};

struct RunTimes
{
    uint32_t runStart = 0; // kept when the entry sequence is skipped
    uint32_t programStart = 0;
    uint32_t runEnd = 0;
};

struct EngineState
{
    EngineSettings settings;
    TargetState target;
    RunTimes times;
    uint8_t infoA[64] = {}; // information segment A, for one run
    bool infoARead = false; // read in the current pass
};

// The process-wide engine state; one run at a time uses it.
EngineState &engineState();

} // namespace bsl
