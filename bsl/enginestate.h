#pragma once

#include "bslframe.h"
#include "runrequest.h"
#include "seriallink.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bsl {

class EngineSink;

// What the target told us and what the run derived from it. A failed version
// read leaves these start values (or what an earlier read in the same run
// found): nothing learned from one instrument can steer a run on another (or
// on the same one after it was restarted), a run on a new loader never gets
// the old loaders' patch, and the patch entry is used only after this run
// has loaded the patch.
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
    uint32_t runStart = 0; // 0 (the line's clock start) when the entry sequence is skipped
    uint32_t programStart = 0;
    uint32_t runEnd = 0;
};

// The TI-TXT reader's working storage; the key position and the count start
// again with every programTIText call.
struct TiTextState
{
    uint8_t blockBuffer[kFrameBufferSize + 2] = {}; // the bytes programBlock sends; room for two padding bytes
    uint8_t replyBuffer[kFrameBufferSize] = {};
    int bytesCounted = 0; // of the last programTIText call
    int keyPosition = 0; // 0-79
    std::string failedFile; // the file a 96 result names
};

constexpr uint16_t kInfoALength = 64; // information segment A, 0x10C0-0x10FF

// Everything one run holds, from its request to its close: the sink it
// prints to, its line and frame layer, its settings (the request's, as the
// run changes them: a mass erase drops the password file, ...), what it
// learned of the target and its buffers. runEngine makes one for each run
// and hands it down; nothing of it outlives the run, and no run sees
// another's.
struct EngineSession
{
    EngineSession(const RunRequest &request, EngineSink &sink, LinkTransport *line = nullptr)
        : sink(sink), link(sink, line), frames(link, sink), settings(request.settings), toolkit(request.toolkit)
    {
    }
    EngineSession(const EngineSession &) = delete;
    EngineSession &operator=(const EngineSession &) = delete;

    EngineSink &sink;
    SerialLink link;
    FrameLayer frames;
    EngineSettings settings;
    const RunOptions toolkit;
    TargetState target;
    RunTimes times;
    TiTextState text;
    uint8_t infoA[kInfoALength] = {}; // information segment A, for one pass
    bool infoARead = false; // read in the current pass
    std::vector<uint8_t> memoryRead; // what the memory read read
};

} // namespace bsl
