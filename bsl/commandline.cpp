// The engine's command line: a view of RunRequest for service technicians.

#include "bslengine.h"

#include "enginesink.h"

#include <cctype>
#include <cstdlib>
#include <string>

namespace bsl {

namespace {

constexpr char kEngineName[] = "BSLENGINE";
constexpr char kEngineTitle[] = "NVX7300 Bootstrap Loader Engine";
constexpr char kEngineVersion[] = "Version 1.0";
constexpr char kPortPrefix[] = "\\\\.\\"; // -c stores the Windows device form

const char *const kHelpLines[] = {
    "BSLENGINE [-h][-c{port}][-s{num}][-p{file}][-w][-1][-m{num}][+ecpvruw] {file}",
    "",
    "Options:",
    "-h       Shows this help screen.",
    "-c{port} Specifies the communication port to be used (e.g. -cCOM2).",
    "-a{file} Filename of workaround patch (e.g. -aWAROUND.TXT).",
    "-b{file} Filename of complete loader to be loaded into RAM (e.g. -bBSL.TXT).",
    "-e{startnum}",
    "         Erase Segment where address does point to.",
    "-m{num}  Number of mass erase cycles (e.g. -m20).",
    "-p{file} Specifies a TI-TXT file with the interrupt vectors that are",
    "         used as password (e.g. -pINT_VECT.TXT).",
    "-r{startnum} {lennum} {file}",
    "         Read memory from startnum till lennum and write to file as TI.TXT.",
    "         (Values in hex format.) ",
    "-s{num}  Changes the baudrate; num=0:9600, 1:19200, 2:38400 (e.g. -s2).",
    "-w       Waits for <ENTER> before closing serial port.",
    "-x       Enable MSP430X Extended Memory support.",
    "-1       Programming and verification is done in one pass through the file.",
    "",
    "Program Flow Specifiers [+aecpvruw]",
    " a       Restore InfoA after mass erase (only with Mass Erase)",
    " e       Mass Erase",
    " c       Erase Check by file {file}",
    " p       Program file {file}",
    " v       Verify by file {file}",
    " r       Reset connected MSP430. Starts application.",
    " u       User Called - Skip entry Sequence.",
    " w       Wait for <ENTER> before closing serial port.",
    " Only the specified actions are executed!",
    "",
    "Default Program Flow Specifiers (if not explicitly given): +ecpvr",
    "",
};

void clearFlowActions(ActionFlags &a)
{
    a.massErase = a.eraseCheck = a.fastEraseCheck = a.program = a.verify = false;
    a.reset = a.userCalled = a.restoreInfoA = false;
}

// A flow specifier ("+ecpvr"): only the letters given, on the entry sequence
// unless x says otherwise.
void applyFlow(const char *letters, ActionFlags &a, EngineSink &sink)
{
    clearFlowActions(a);
    a.invokeBsl = true;
    for (const char *c = letters; *c; ++c) {
        switch (std::tolower(static_cast<unsigned char>(*c))) {
        case 'a': a.restoreInfoA = a.massErase = true; break;
        case 'c': a.eraseCheck = true; break;
        case 'e': a.massErase = true; break;
        case 'f': a.fastEraseCheck = true; break;
        case 'p': a.program = true; break;
        case 'r': a.reset = true; break;
        case 'u': a.userCalled = true; break;
        case 'v': a.verify = true; break;
        case 'w': a.waitForEnter = true; break;
        case 'x': a.invokeBsl = false; break;
        default: sink.print("ERROR: Illegal action specified!\n"); break;
        }
    }
}

} // namespace

void showHelp(EngineSink &sink)
{
    for (const char *line : kHelpLines)
        sink.print("%s\n", line);
    sink.print("Press any key to exit... ");
}

int parseCommandLine(int argc, char **argv, EngineSettings &s, EngineSink &sink)
{
    sink.print("Parse command line %i args\n", argc);

    s.programFile.reset();
    s.passwordFile.reset();
    s.bufferText.reset();
    s.patchFile = "PATCH.TXT";
    s.actions = ActionFlags();
    s.actions.eraseCheck = true;
    s.actions.program = true;
    s.actions.verify = true;
    s.actions.reset = true;
    s.actions.invokeBsl = true;

    if (argc < 2) {
        showHelp(sink);
        return 1;
    }

    ActionFlags &a = s.actions;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i] ? argv[i] : "";
        const char *next = (i + 1 < argc && argv[i + 1]) ? argv[i + 1] : nullptr;

        if (arg[0] == '+') {
            applyFlow(arg + 1, a, sink);
            continue;
        }
        if (arg[0] != '-') {
            s.programFile = std::string(arg); // the last plain argument wins
            continue;
        }

        const char *value = arg[1] ? arg + 2 : arg + 1;
        switch (std::tolower(static_cast<unsigned char>(arg[1]))) {
        case '1': a.onePass = true; break;
        case 'a': s.patchFile = value; break;
        case 'b': s.loaderFile = std::string(value); break;
        case 'c': s.portName = std::string(kPortPrefix) + value; break;
        case 'e':
            clearFlowActions(a);
            a.readMemory = false;
            a.eraseSegment = true;
            a.invokeBsl = true;
            s.start = uint32_t(std::strtoul(value, nullptr, 16));
            ++i; // the next argument is skipped unread
            break;
        case 'f':
            if (value[0] != '0') {
                // Scanned as a signed 16-bit value, limited as an unsigned one.
                uint16_t n = uint16_t(int16_t(std::atoi(value)));
                if (n > 250)
                    n = 250;
                else if (n < 16)
                    n = 16;
                s.maxFrameData = uint16_t(n & ~0x0F);
                sink.print("Max. number of data bytes within one frame set to %i.\n", int(s.maxFrameData));
            }
            break;
        case 'h': showHelp(sink); return 1;
        case 'm':
            if (value[0] != '0') {
                const int n = std::atoi(value);
                s.massEraseCycles = n < 1 ? 1 : n;
                sink.print("Number of mass erase cycles set to %i.\n", s.massEraseCycles);
            }
            break;
        case 'p':
            s.passwordFile = std::string(value);
            if (next) {
                s.passwordIndex = int(std::strtol(next, nullptr, 0));
                ++i;
            }
            break;
        case 'r':
            a.massErase = a.eraseCheck = a.fastEraseCheck = a.program = a.verify = false;
            a.readMemory = true;
            s.start = uint32_t(std::strtoul(value, nullptr, 16));
            if (next) {
                s.length = uint32_t(std::strtoul(next, nullptr, 16));
                ++i;
            }
            if (i + 1 < argc && argv[i + 1]) {
                s.readFile = argv[i + 1];
                ++i;
            }
            break;
        case 's':
            if (value[0] >= '0' && value[0] <= '9') {
                s.baudIndex = uint8_t(value[0] - '0');
                a.changeBaud = true;
            }
            break;
        case 'w': a.waitForEnter = true; break;
        case 'x': a.extendedMemory = true; break;
        case 'y':
            if (next) {
                s.bufferText = std::string(next);
                ++i;
            }
            break;
        default: sink.print("ERROR: Illegal command line parameter!\n"); break;
        }
    }
    return 0;
}

int bslEngineMain(int argc, char **argv, EngineSink &sink, EngineSettings &kept, LinkTransport *line)
{
    sink.print("%s\n", kEngineName);
    kept.loaderFile.reset();
    sink.print("%s (%s)\n", kEngineTitle, kEngineVersion);
    if (int code = parseCommandLine(argc, argv, kept, sink))
        return code;
    RunRequest request;
    request.settings = kept;
    return runEngine(request, sink, line).result;
}

} // namespace bsl
