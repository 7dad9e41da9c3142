// The loader's replies are arbitrary bytes: single commands through the frame
// layer, and whole engine runs, must end with a code and never touch memory
// they do not own.
//
// Input: a scenario byte, three parameter bytes, then the replies as chunks
// (a length byte and that many bytes; one chunk per sync byte and per frame).

#include "bslengine.h"
#include "enginestate.h"
#include "fuzzsupport.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

const uint8_t kCommands[] = {
    bsl::kCmdRxPassword, bsl::kCmdWriteBlock, bsl::kCmdReadBlock, bsl::kCmdEraseSegment, bsl::kCmdMassErase,
    bsl::kCmdLoadPc,     bsl::kCmdEraseCheck, bsl::kCmdChangeBaud, bsl::kCmdSetOffset,
};

// Argument vectors of the runs the program makes, and of the options that
// read, erase, load a loader or change the rate.
const std::vector<std::vector<std::string>> kRuns = {
    {"-cfuzz", "+ecpvr", "prog.txt"},
    {"-cfuzz", "+aep", "prog.txt"},
    {"-cfuzz", "-r1000", "100", "read.txt"},
    {"-cfuzz", "-x", "-r0FFF0", "40", "read.txt"},
    {"-cfuzz", "-s2", "+p", "prog.txt"},
    {"-cfuzz", "-s1", "-x", "-e1FC00"},
    {"-cfuzz", "-bloader.txt", "+epv", "prog.txt"},
    {"-cfuzz", "-pPW.txt", "1", "-1", "+cpv", "prog.txt"},
    {"-cfuzz", "+up", "prog.txt"},
    {"-cfuzz", "-m3", "-f48", "+fepvr", "prog.txt"},
    {"-cfuzz", "-y", "@1000\n0A 0B\n", "+epr", "prog.txt"},
    {"-cfuzz", "-x", "-1", "+cp", "prog.txt"},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    fuzz::makeEngineFiles();
    fuzz::QuietSink sink;
    fuzz::ChunkTransport transport(data + 4, size - 4);

    const uint8_t scenario = data[0];
    if (scenario < 0x40) {
        // One command; the reply lands in a buffer of a chosen size with
        // guard bytes either side.
        bsl::EngineSession run(bsl::RunRequest(), sink, &transport);
        run.link.comOpen("fuzz", 300, 4);
        const uint8_t command = kCommands[scenario % sizeof kCommands];
        const uint16_t address = uint16_t(0x1000 + data[1]);
        const uint16_t length = data[2] % 242;
        const int capacity = data[3];
        uint8_t block[bsl::kFrameBufferSize + 2];
        std::memset(block, 0x5A, sizeof block);
        std::vector<uint8_t> in(size_t(capacity) + 2, 0xEE);
        run.frames.bslTxRx(command, address, length, block, in.data() + 1, capacity);
        if (in.front() != 0xEE || in.back() != 0xEE)
            std::abort();
        if (run.frames.bslReplyLength() > bsl::kMaxReplyData)
            std::abort();
        run.link.comClose();
    } else {
        const std::vector<std::string> &run = kRuns[scenario % kRuns.size()];
        std::vector<std::string> args = {"BSLENGINE"};
        args.insert(args.end(), run.begin(), run.end());
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        bsl::EngineSettings settings;
        const int result = bsl::bslEngineMain(int(args.size()), argv.data(), sink, settings, &transport);
        if (result != 1 && (result < 100 || result > 199))
            std::abort();
    }
    return 0;
}
