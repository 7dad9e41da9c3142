#include "bslengine.h"

#include "bslframe.h"
#include "enginesink.h"
#include "enginestate.h"
#include "memoryoffset.h"
#include "memoryread.h"
#include "seriallink.h"
#include "titext.h"

#include <cctype>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bsl {

namespace {

constexpr char kEngineName[] = "BSLENGINE";
constexpr char kEngineTitle[] = "NVX7300 Bootstrap Loader Engine";
constexpr char kEngineVersion[] = "Version 1.0";
constexpr char kPortPrefix[] = "\\\\.\\"; // -c stores the Windows device form

constexpr int kReplyTimeoutBase = 300; // ms, data-frame waits
constexpr int kReplyTimeoutFactor = 4; // first reply byte waits base x factor
constexpr int kBaudSettleMs = 10; // after switching the port's rate

constexpr uint16_t kIdentityAddress = 0x0FF0; // family, process, loader version
constexpr uint16_t kIdentityLength = 14;
constexpr uint16_t kInfoAAddress = 0x10C0;
constexpr uint16_t kInfoALength = 64;
constexpr uint16_t kBslRestartEntry = 0x0C22; // restarts the ROM loader
constexpr uint16_t kDefaultLoaderAddress = 0x0300;
constexpr uint16_t kErrorAddressOld = 0x021E; // loaders below 1.50
constexpr uint16_t kErrorAddressNew = 0x0200;
constexpr uint16_t kVersionNeedsPatch = 0x0110; // at or below: flash patch
constexpr uint16_t kVersionVerifies = 0x0140; // from here the loader verifies writes
constexpr uint16_t kVersionNewErrorAddress = 0x0150;
constexpr uint16_t kRateCheckAddress = 0x0400; // RAM, 480 bytes above the patch entry (0x0220)

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

const char *orNull(const std::optional<std::string> &text)
{
    return text ? text->c_str() : nullptr;
}

const char *orEmpty(const std::optional<std::string> &text)
{
    return text ? text->c_str() : "";
}

void clearFlowActions(ActionFlags &a)
{
    a.massErase = a.eraseCheck = a.fastEraseCheck = a.program = a.verify = false;
    a.reset = a.userCalled = a.restoreInfoA = false;
}

// Runs that only read memory or restart the target never touch flash, so an
// old loader needs no patch for them.
bool accessesFlash(const ActionFlags &a)
{
    return a.program || a.verify || a.eraseCheck || a.fastEraseCheck || a.restoreInfoA || a.eraseSegment;
}

// Takes the identity as this loader's, with what follows from it.
void adoptIdentity(const LoaderIdentity &id)
{
    EngineState &e = engineState();
    TargetState &t = e.target;
    t.family[0] = id.family[0];
    t.family[1] = id.family[1];
    t.process[0] = id.process[0];
    t.process[1] = id.process[1];
    t.versionMajor = id.versionMajor;
    t.versionMinor = id.versionMinor;
    t.versionWord = id.versionWord();
    t.identityKnown = true;
    t.errorAddressVariable = t.versionWord < kVersionNewErrorAddress ? kErrorAddressOld : kErrorAddressNew;
    if (t.versionWord <= kVersionNeedsPatch && !e.settings.loaderFile && accessesFlash(e.settings.actions)) {
        enginePrint("Patch for flash programming required!\n");
        t.patchRequired = true;
    }
}

// Step e. Returns the read's code; after a failed read the identity stays
// what this run knew (none, unless handed in).
int readVersion()
{
    const std::optional<LoaderIdentity> &known = engineState().settings.toolkit.knownLoader;
    uint8_t block[kFrameBufferSize] = {};
    const int code = bslTxRx(kCmdReadBlock, kIdentityAddress, kIdentityLength, nullptr, block, sizeof block);
    if (code != kOk) {
        if (known) {
            enginePrint("Identity not read; BSL version %X.%02X as read before\n", known->versionMajor,
                        known->versionMinor);
            adoptIdentity(*known);
        }
        return code;
    }
    LoaderIdentity id;
    id.family[0] = block[0];
    id.family[1] = block[1];
    id.process[0] = block[2];
    id.process[1] = block[3];
    id.versionMajor = block[10];
    id.versionMinor = block[11];
    enginePrint("BSL version: %X.%02X", id.versionMajor, id.versionMinor);
    enginePrint(" - Family member: %02X%02X", id.family[0], id.family[1]);
    enginePrint(" - Process: %02X%02X\n", id.process[0], id.process[1]);
    if (known && *known != id) {
        enginePrint("Identity differs from the one read before (BSL version %X.%02X), which holds\n",
                    known->versionMajor, known->versionMinor);
        id = *known;
    }
    adoptIdentity(id);
    return kOk;
}

// A line may carry short frames at a new rate and still garble long ones:
// the toolkit's check before an erase writes a block of the size programming
// sends to RAM and reads it back. The block lies clear of the loader's own RAM
// (its variables and stack, below the patch entry) and of the flash patch
// (from the patch entry up); a run that checks loads no patch.
int checkFullFrames()
{
    const uint16_t count = engineState().settings.maxFrameData;
    uint8_t sent[kFrameBufferSize + 2] = {};
    for (int i = 0; i < count; ++i)
        sent[i] = uint8_t(i * 167 + 0x80); // every byte value class, the sync byte among them
    uint8_t out[sizeof sent];
    std::memcpy(out, sent, sizeof out);
    enginePrint("Check of %d-byte frames at %d Baud\n", int(count), comBaudRate());
    if (int code = bslTxRx(kCmdWriteBlock, kRateCheckAddress, count, out, nullptr))
        return code;
    uint8_t back[kFrameBufferSize] = {};
    if (int code = bslTxRx(kCmdReadBlock, kRateCheckAddress, count, nullptr, back, sizeof back))
        return code;
    return std::memcmp(back, sent, count) == 0 ? kOk : kVerifyFailed;
}

// Step j. Returns 0, or the code of a failed check of the new rate.
int changeBaudRate()
{
    EngineSettings &s = engineState().settings;
    TargetState &t = engineState().target;
    static const uint16_t kClockF1[3] = {0x8580, 0x86E0, 0x87E0};
    static const uint16_t kClockF2[3] = {0x8880, 0x8B80, 0x8C80};
    static const uint16_t kClockF4[3] = {0x9800, 0xB000, 0xC800};
    const uint16_t *clocks = nullptr;
    switch (t.family[0]) {
    case 0xF1:
    case 0x12: clocks = kClockF1; break;
    case 0xF2:
    case 0x25: clocks = kClockF2; break;
    case 0xF4: clocks = kClockF4; break;
    default: break;
    }
    // A clock word for a loader that may not be the one read would go into
    // its clock registers: without the identity, no rate change is asked.
    if (!t.identityKnown) {
        const int asked = s.baudIndex < std::size(kLineRates) ? kLineRates[s.baudIndex] : kStartBaudRate;
        if (asked != comBaudRate())
            enginePrint("Loader identity not read. Baudrate remains at %d Baud\n", comBaudRate());
        return kOk;
    }
    int rate = 0; // never matches: other families always get the command
    if (clocks) {
        if (s.baudIndex != 1 && s.baudIndex != 2)
            s.baudIndex = 0;
        t.clockWord = clocks[s.baudIndex];
        rate = kLineRates[s.baudIndex];
    }
    const int current = comBaudRate();
    if (rate == current)
        return kOk;
    enginePrint("Change Baudrate ");
    if (bslTxRx(kCmdChangeBaud, t.clockWord, s.baudIndex, nullptr, nullptr) != kOk) {
        enginePrint("command not accepted. Baudrate remains at %d Baud\n", current);
        return kOk;
    }
    enginePrint("from %d ", current);
    comSetBaudRate(rate, 2);
    sleepMs(kBaudSettleMs);
    t.lineRate = comBaudRate();
    enginePrint("to %d Baud (Mode: %d)\n", t.lineRate, int(s.baudIndex));
    return s.toolkit.checkFullFrames ? checkFullFrames() : kOk;
}

// Load address of a replacement loader: its first address line, as stored.
uint32_t loaderAddress(const char *file)
{
    uint32_t address = 0;
    if (FILE *f = std::fopen(file, "rb")) {
        char line[kLineBufferSize] = {};
        while (std::fgets(line, kMaxTiTextLine + 1, f)) {
            if (line[0] == '@') {
                unsigned long value = 0;
                std::sscanf(line + 1, "%lx", &value);
                address = uint32_t(value);
                break;
            }
        }
        std::fclose(f);
    }
    return address == 0 ? kDefaultLoaderAddress : address;
}

// Steps g-i: replacement loader, flash patch, mass erase under a new loader.
int loadLoaderOrPatch(bool &passwordPhase)
{
    EngineState &e = engineState();
    EngineSettings &s = e.settings;
    TargetState &t = e.target;
    bool runPatch = true;

    if (s.loaderFile) {
        const char *file = s.loaderFile->c_str();
        const uint32_t address = loaderAddress(file);
        enginePrint("Load");
        if (t.versionWord >= kVersionVerifies)
            enginePrint("/Verify");
        enginePrint(" new BSL \"%s\" into RAM at 0x%04X...\n", file, unsigned(address));
        if (int code = programTIText(file, nullptr, kActProgram, 0))
            return code;
        if (t.versionWord < kVersionVerifies) {
            enginePrint("Verify new BSL \"%s\"...\n", file);
            if (int code = programTIText(file, nullptr, kActVerify, 0))
                return code;
        }
        uint8_t head[kFrameBufferSize] = {};
        if (int code = bslTxRx(kCmdReadBlock, uint16_t(address), 4, nullptr, head, sizeof head))
            return code;
        const uint16_t entry = uint16_t(head[0] | (head[1] << 8));
        const bool largeModel = (head[2] | (head[3] << 8)) != 0;
        if (largeModel) {
            t.errorAddressVariable = kErrorAddressNew;
            enginePrint("Start new BSL (LARGE model > 1K Bytes) at 0x%04X...\n", unsigned(entry));
        } else {
            enginePrint("Start new BSL (SMALL model < 512 Bytes) at 0x%04X...\n", unsigned(entry));
        }
        if (int code = bslTxRx(kCmdLoadPc, entry, 0, nullptr, nullptr))
            return code;
        forgetMemoryOffset();
        t.patchRequired = false;
        t.patchLoaded = false;
        if (largeModel) {
            if (int code = txPassword(orNull(s.passwordFile))) {
                passwordPhase = true;
                return code;
            }
        } else {
            runPatch = false;
        }
    }

    if (runPatch && t.patchRequired) {
        enginePrint("Load and verify patch \"%s\"...\n", s.patchFile.c_str());
        if (int code = programTIText(s.patchFile.c_str(), nullptr, kActProgram | kActVerify, 0))
            return code;
        t.patchLoaded = true;
    }

    if (s.loaderFile && s.passwordFile && s.actions.massErase) {
        enginePrint("Mass Erase...\n");
        engineStatus(kStatusProgress);
        if (int code = bslTxRx(kCmdMassErase, kMassEraseAddress, kMassEraseKey, nullptr, nullptr))
            return code;
        s.passwordFile.reset();
    }
    return kOk;
}

// Step l: the actions on the program file.
int fileActions(bool &passwordPhase)
{
    EngineState &e = engineState();
    EngineSettings &s = e.settings;
    const ActionFlags &a = s.actions;
    const char *file = orNull(s.programFile);
    const char *name = orEmpty(s.programFile);

    if (a.onePass) {
        unsigned actions = 0;
        if (a.eraseCheck) {
            actions |= kActEraseCheck;
            enginePrint("EraseCheck ");
        }
        if (a.fastEraseCheck) {
            actions |= kActFastEraseCheck;
            enginePrint("EraseCheckFast ");
        }
        if (a.program) {
            actions |= kActProgram;
            enginePrint("Program ");
        }
        if (a.verify) {
            actions |= kActVerify;
            enginePrint("Verify ");
        }
        if (actions != 0) {
            enginePrint("\"%s\" ...\n", name);
            if (int code = programTIText(file, nullptr, actions, 0))
                return code;
        }
        enginePrint("%i bytes programmed.\n", tiTextBytesCounted());
        return kOk;
    }

    if (a.eraseCheck) {
        enginePrint("Erase Check by file \"%s\"...\n", name);
        if (int code = programTIText(file, nullptr, kActEraseCheck, 0))
            return code;
    }
    if (a.fastEraseCheck) {
        enginePrint("Fast E-Check by file \"%s\"...\n", name);
        if (int code = programTIText(file, nullptr, kActFastEraseCheck, 0))
            return code;
    }
    if (a.program) {
        enginePrint("Program \"%s\"...\n", name);
        const int code = programTIText(file, orNull(s.bufferText), kActProgram, 0);
        if (code == kOk) {
            enginePrint("%i bytes programmed.\n", tiTextBytesCounted());
            // A frame can arrive with two bits flipped and its checksum whole.
            if (s.toolkit.readBack) {
                enginePrint("Read back \"%s\"...\n", name);
                if (int readCode = programTIText(file, orNull(s.bufferText), kActVerify, 0))
                    return readCode;
            }
        } else if (!s.loaderFile) {
            return kVerifyFailed; // every programming failure counts as one
        } else {
            if (a.extendedMemory) {
                if (int offsetCode = setMemoryOffset(0)) {
                    passwordPhase = true;
                    return offsetCode;
                }
            }
            uint8_t reply[kFrameBufferSize] = {};
            if (int readCode = bslTxRx(kCmdReadBlock, e.target.errorAddressVariable, 2, nullptr, reply, sizeof reply))
                return readCode;
            const unsigned value = unsigned(reply[0] | (reply[1] << 8));
            enginePrint("Verification Error at 0x%04X\n", (value - 3) & 0xFFFF);
            return kVerifyFailed; // what the loader could not write is not programmed
        }
    }
    if (a.verify) {
        if (a.program && (e.target.versionWord >= kVersionVerifies || s.loaderFile)) {
            enginePrint("Verify... already done during programming.\n");
        } else {
            enginePrint("Verify\"%s\"...\n", name);
            if (int code = programTIText(file, nullptr, kActVerify, 0))
                return code;
        }
    }
    return kOk;
}

// The loader version is read only after the mass erase, too late to find out
// that an old loader needs a patch file that is not there: the run would end
// with the instrument erased. So when the patch file cannot be read, a run
// that erases and then programs unlocks with its password and reads the
// version first. When it cannot (no password, or refused), it goes on as
// before: the erase is what opens such an instrument.
int checkPatchBeforeErase()
{
    EngineState &e = engineState();
    const EngineSettings &s = e.settings;
    const ActionFlags &a = s.actions;
    if (!a.massErase || !accessesFlash(a) || s.loaderFile || !s.passwordFile || s.passwordFile->empty())
        return kOk;
    if (checkTIText(s.patchFile.c_str(), nullptr) == kOk)
        return kOk;
    // The loader as read before this run (by the toolkit's check) tells.
    if (const std::optional<LoaderIdentity> &known = s.toolkit.knownLoader)
        return known->versionWord() > kVersionNeedsPatch ? kOk : checkTIText(s.patchFile.c_str(), nullptr);
    if (txPassword(s.passwordFile->c_str()) != kOk)
        return kOk;
    if (a.extendedMemory && setMemoryOffset(0) != kOk)
        return kOk;
    // Open, but its version unread: nothing after the erase could tell either.
    if (int code = readVersion())
        return e.target.identityKnown ? kOk : code;
    if (!e.target.patchRequired)
        return kOk;
    return checkTIText(s.patchFile.c_str(), nullptr); // 96, naming the patch file
}

// A toolkit run that knows its loader asks the faster rate before the erase
// rather than after it: the erase cycles and everything after them run at it.
// The password is the one that opened the instrument for the check before;
// should it fail, the run goes on as the command line's does.
int changeRateBeforeErase()
{
    EngineState &e = engineState();
    const EngineSettings &s = e.settings;
    const bool faster = s.baudIndex == 1 || s.baudIndex == 2;
    if (!s.actions.changeBaud || !faster || !s.toolkit.knownLoader || !s.passwordFile || s.passwordFile->empty()
        || txPassword(s.passwordFile->c_str()) != kOk
        || (s.actions.extendedMemory && setMemoryOffset(0) != kOk))
        return kOk;
    adoptIdentity(*s.toolkit.knownLoader);
    return changeBaudRate();
}

// One pass, steps a-o. Returns 0 or the code the run fails with.
int runPass(bool &passwordPhase)
{
    EngineState &e = engineState();
    EngineSettings &s = e.settings;
    ActionFlags &a = s.actions;
    TargetState &t = e.target;
    passwordPhase = false;
    e.infoARead = false;

    // a, b: with a loader and a password file the erase comes later (i).
    if (!(s.loaderFile && s.passwordFile)) {
        if (a.restoreInfoA && a.massErase) {
            enginePrint("Read InfoA Segment...\n");
            if (int code = txPassword(orNull(s.passwordFile))) {
                passwordPhase = true;
                return code;
            }
            if (a.extendedMemory) {
                if (int code = setMemoryOffset(0)) {
                    passwordPhase = true;
                    return code;
                }
            }
            if (int code = bslTxRx(kCmdReadBlock, kInfoAAddress, kInfoALength, nullptr, e.infoA, sizeof e.infoA))
                return code;
            e.infoARead = true;
        } else {
            a.restoreInfoA = false;
        }
        if (a.massErase) {
            if (int code = checkPatchBeforeErase())
                return code;
            if (int code = changeRateBeforeErase())
                return code;
            enginePrint("Mass Erase...\n");
            for (int cycle = 0; cycle < s.massEraseCycles; ++cycle) {
                engineStatus(kStatusProgress);
                if (cycle == 1)
                    enginePrint("Additional mass erase cycles...\n");
                if (int code = bslTxRx(kCmdMassErase, kMassEraseAddress, kMassEraseKey, nullptr, nullptr))
                    return code;
            }
            s.passwordFile.reset(); // an erased device takes the standard password
        }
    }

    // c, d
    if (!a.userCalled) {
        if (int code = txPassword(orNull(s.passwordFile))) {
            passwordPhase = true;
            return code;
        }
    }
    if (a.extendedMemory) {
        if (int code = setMemoryOffset(0)) {
            passwordPhase = true;
            return code;
        }
    }

    // e: a failed read is not an error in itself; the values from before
    // stay. But with none, a loader that may need the flash patch would be
    // programmed without it (or a replacement loader started on a guess):
    // such a run stops with the read's code.
    const int identityCode = readVersion();
    if (!t.identityKnown && (accessesFlash(a) || s.loaderFile))
        return identityCode;

    // f-i
    const bool oldLoader = t.versionWord <= kVersionNeedsPatch;
    if (t.patchRequired || (s.loaderFile && oldLoader)) {
        enginePrint("Load PC with 0x0C22...\n");
        if (int code = bslTxRx(kCmdLoadPc, kBslRestartEntry, 0, nullptr, nullptr))
            return code;
        forgetMemoryOffset();
        if (int code = txPassword(orNull(s.passwordFile))) {
            passwordPhase = true;
            return code;
        }
        if (int code = loadLoaderOrPatch(passwordPhase))
            return code;
    } else if (s.loaderFile) {
        if (int code = loadLoaderOrPatch(passwordPhase))
            return code;
    }

    // j, k
    if (a.changeBaud) {
        if (int code = changeBaudRate())
            return code;
    }
    e.times.programStart = tickMs();

    // l
    if (int code = fileActions(passwordPhase))
        return code;

    // m
    if (a.restoreInfoA && e.infoARead) {
        enginePrint("Restore InfoA Segment...\n");
        if (a.extendedMemory) {
            if (int code = setMemoryOffset(0)) {
                passwordPhase = true;
                return code;
            }
        }
        int first = 0;
        while (first < kInfoALength && e.infoA[first] == 0xFF)
            ++first;
        if (first < kInfoALength) {
            std::memcpy(tiTextBlockBuffer(), e.infoA + first, size_t(kInfoALength - first));
            if (int code = programBlock(kInfoAAddress + uint32_t(first), uint16_t(kInfoALength - first), kActProgram))
                return code;
        }
    }

    // n
    if (a.readMemory) {
        if (int code = readMemoryToFile())
            return code;
    }

    // o
    if (a.eraseSegment) {
        enginePrint("Erase Segment: 0x%-4lX\n", static_cast<unsigned long>(s.start));
        uint32_t address = s.start;
        if (a.extendedMemory) {
            if (int code = setMemoryOffset(uint16_t(s.start >> 16)))
                return code;
            address &= 0xFFFF;
        }
        if (int code = bslTxRx(kCmdEraseSegment, uint16_t(address), kEraseSegmentKey, nullptr, nullptr))
            return code;
        if (a.extendedMemory && setMemoryOffset(0) != kOk)
            return kFrameError;
    }
    return kOk;
}

} // namespace

void showHelp()
{
    for (const char *line : kHelpLines)
        enginePrint("%s\n", line);
    enginePrint("Press any key to exit... ");
}

int parseCommandLine(int argc, char **argv)
{
    EngineSettings &s = engineState().settings;
    enginePrint("Parse command line %i args\n", argc);

    // Per run: actions, programFile, passwordFile, bufferText, patchFile.
    // Kept: passwordIndex, portName, maxFrameData, massEraseCycles,
    // baudIndex, start, length, readFile (and loaderFile, which
    // bslEngineMain clears).
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
        showHelp();
        return 1;
    }

    ActionFlags &a = s.actions;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i] ? argv[i] : "";
        const char *next = (i + 1 < argc && argv[i + 1]) ? argv[i + 1] : nullptr;

        if (arg[0] == '+') {
            clearFlowActions(a);
            a.invokeBsl = true;
            for (const char *c = arg + 1; *c; ++c) {
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
                default: enginePrint("ERROR: Illegal action specified!\n"); break;
                }
            }
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
                enginePrint("Max. number of data bytes within one frame set to %i.\n", int(s.maxFrameData));
            }
            break;
        case 'h': showHelp(); return 1;
        case 'm':
            if (value[0] != '0') {
                const int n = std::atoi(value);
                s.massEraseCycles = n < 1 ? 1 : n;
                enginePrint("Number of mass erase cycles set to %i.\n", s.massEraseCycles);
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
        default: enginePrint("ERROR: Illegal command line parameter!\n"); break;
        }
    }
    return 0;
}

int finishRun(int code, bool passwordPhase)
{
    EngineState &e = engineState();
    const ActionFlags &a = e.settings.actions;

    if (a.extendedMemory) {
        // Sent even where the offset is known: it confirms the last write
        // and shows that the line still answers at the end of the run.
        forgetMemoryOffset();
        const int offsetCode = setMemoryOffset(0);
        if (code == kOk)
            code = offsetCode;
    }
    if (a.reset)
        bslReset(false);

    switch (code) {
    case kOk:
        if (a.program)
            enginePrint("Programming completed.");
        else if (a.verify)
            enginePrint("Verification successful.");
        enginePrint("Prog/Verify: %.1f sec", double(uint32_t(e.times.runEnd - e.times.programStart)) / 1000.0);
        enginePrint(" - Over all: %.1f sec\n", double(uint32_t(e.times.runEnd - e.times.runStart)) / 1000.0);
        break;
    case kRangeError: enginePrint("ERROR: Invalid memory range!\n"); break;
    case kOutputFileError: enginePrint("ERROR: Unable to write output file \"%s\"!\n", e.settings.readFile.c_str()); break;
    case kInputFileError:
        enginePrint("ERROR: Unable to open input file \"%s\"!\n", tiTextFailedFile().c_str());
        break;
    case kEraseCheckFailed: enginePrint("ERROR: Erase check failed!\n"); break;
    case kVerifyFailed: enginePrint("ERROR: Verification failed!\n"); break;
    case kNoSync:
        enginePrint("ERROR: Synchronization failed!\n");
        enginePrint("Device with boot loader connected?\n");
        break;
    default:
        if (code == kNak && passwordPhase)
            enginePrint("ERROR: Password not accepted!\n");
        else
            enginePrint("ERROR: Communication Error!\n");
        break;
    }

    comClose();
    const int result = runResult(code);
    if (a.program)
        engineStatus(result);
    return result;
}

namespace {

int engineRun(int argc, char **argv);

} // namespace

int bslEngineMain(int argc, char **argv)
{
    const int result = engineRun(argc, argv);
    engineState().settings.toolkit = RunOptions();
    return result;
}

namespace {

int engineRun(int argc, char **argv)
{
    EngineState &e = engineState();
    EngineSettings &s = e.settings;

    enginePrint("%s\n", kEngineName);
    s.loaderFile.reset();
    // Nothing learned from the target of an earlier run counts for this one.
    e.target = TargetState();
    e.infoARead = false;
    enginePrint("%s (%s)\n", kEngineTitle, kEngineVersion);

    if (int code = parseCommandLine(argc, argv))
        return code;

    // A name longer than the port takes is refused, never cut to another port's name.
    if (s.portName.size() > size_t(kMaxPortNameLength)
        || comOpen(s.portName.c_str(), kReplyTimeoutBase, kReplyTimeoutFactor) != 0) {
        enginePrint("ERROR: Opening COM-Port failed!\n");
        engineStatus(kStatusPortFailed);
        return kResultHelpOrPort;
    }
    bslStartRun();

    // Never erase a device when what would be programmed afterwards cannot
    // be read.
    if (s.actions.massErase && s.actions.program) {
        if (int code = checkTIText(orNull(s.programFile), orNull(s.bufferText)))
            return finishRun(code, false);
    }

    if (!s.actions.userCalled) {
        bslReset(s.actions.invokeBsl);
        e.times.runStart = tickMs();
    }

    for (;;) {
        bool passwordPhase = false;
        if (int code = runPass(passwordPhase))
            return finishRun(code, passwordPhase);
        if (!s.actions.userCalled)
            break;
        s.actions.userCalled = false;
        enginePrint("No Device reset - BSL called from user program ---------------------\n");
    }
    e.times.runEnd = tickMs();
    return finishRun(kOk, false);
}

} // namespace

EngineState &engineState()
{
    static EngineState state;
    return state;
}

} // namespace bsl
