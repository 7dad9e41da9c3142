#include "bslengine.h"

#include "bslframe.h"
#include "enginesink.h"
#include "enginestate.h"
#include "memoryoffset.h"
#include "memoryread.h"
#include "seriallink.h"
#include "titext.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <utility>

namespace bsl {

namespace {

constexpr int kReplyTimeoutBase = 300; // ms, data-frame waits
constexpr int kReplyTimeoutFactor = 4; // first reply byte waits base x factor
constexpr int kBaudSettleMs = 10; // after switching the port's rate

constexpr uint16_t kIdentityAddress = 0x0FF0; // family, process, loader version
constexpr uint16_t kIdentityLength = 14;
constexpr uint16_t kInfoAAddress = 0x10C0;
constexpr uint16_t kBslRestartEntry = 0x0C22; // restarts the ROM loader
constexpr uint16_t kDefaultLoaderAddress = 0x0300;
constexpr uint16_t kErrorAddressOld = 0x021E; // loaders below 1.50
constexpr uint16_t kErrorAddressNew = 0x0200;
constexpr uint16_t kVersionNeedsPatch = 0x0110; // at or below: flash patch
constexpr uint16_t kVersionVerifies = 0x0140; // from here the loader verifies writes
constexpr uint16_t kVersionNewErrorAddress = 0x0150;
constexpr uint16_t kRateCheckAddress = 0x0400; // RAM, 480 bytes above the patch entry (0x0220)

const char *orNull(const std::optional<std::string> &text)
{
    return text ? text->c_str() : nullptr;
}

const char *orEmpty(const std::optional<std::string> &text)
{
    return text ? text->c_str() : "";
}

// Runs that only read memory or restart the target never touch flash, so an
// old loader needs no patch for them.
bool accessesFlash(const ActionFlags &a)
{
    return a.program || a.verify || a.eraseCheck || a.fastEraseCheck || a.restoreInfoA || a.eraseSegment;
}

// Takes the identity as this loader's, with what follows from it.
void adoptIdentity(EngineSession &s, const LoaderIdentity &id)
{
    TargetState &t = s.target;
    t.family[0] = id.family[0];
    t.family[1] = id.family[1];
    t.process[0] = id.process[0];
    t.process[1] = id.process[1];
    t.versionMajor = id.versionMajor;
    t.versionMinor = id.versionMinor;
    t.versionWord = id.versionWord();
    t.identityKnown = true;
    t.errorAddressVariable = t.versionWord < kVersionNewErrorAddress ? kErrorAddressOld : kErrorAddressNew;
    if (t.versionWord <= kVersionNeedsPatch && !s.settings.loaderFile && accessesFlash(s.settings.actions)) {
        s.sink.print("Patch for flash programming required!\n");
        t.patchRequired = true;
    }
}

// Step e. Returns the read's code; after a failed read the identity stays
// what this run knew (none, unless handed in).
int readVersion(EngineSession &s)
{
    const std::optional<LoaderIdentity> &known = s.toolkit.knownLoader;
    uint8_t block[kFrameBufferSize] = {};
    const int code = s.frames.bslTxRx(kCmdReadBlock, kIdentityAddress, kIdentityLength, nullptr, block, sizeof block);
    if (code != kOk) {
        if (known) {
            s.sink.print("Identity not read; BSL version %X.%02X as read before\n", known->versionMajor,
                         known->versionMinor);
            adoptIdentity(s, *known);
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
    s.sink.print("BSL version: %X.%02X", id.versionMajor, id.versionMinor);
    s.sink.print(" - Family member: %02X%02X", id.family[0], id.family[1]);
    s.sink.print(" - Process: %02X%02X\n", id.process[0], id.process[1]);
    if (known && *known != id) {
        s.sink.print("Identity differs from the one read before (BSL version %X.%02X), which holds\n",
                     known->versionMajor, known->versionMinor);
        id = *known;
    }
    adoptIdentity(s, id);
    return kOk;
}

// A line may carry short frames at a new rate and still garble long ones:
// the toolkit's check before an erase writes a block of the size programming
// sends to RAM and reads it back. The block lies clear of the loader's own RAM
// (its variables and stack, below the patch entry) and of the flash patch
// (from the patch entry up); a run that checks loads no patch.
int checkFullFrames(EngineSession &s)
{
    const uint16_t count = s.settings.maxFrameData;
    uint8_t sent[kFrameBufferSize + 2] = {};
    for (int i = 0; i < count; ++i)
        sent[i] = uint8_t(i * 167 + 0x80); // every byte value class, the sync byte among them
    uint8_t out[sizeof sent];
    std::memcpy(out, sent, sizeof out);
    s.sink.print("Check of %d-byte frames at %d Baud\n", int(count), s.link.baudRate());
    if (int code = s.frames.bslTxRx(kCmdWriteBlock, kRateCheckAddress, count, out, nullptr))
        return code;
    uint8_t back[kFrameBufferSize] = {};
    if (int code = s.frames.bslTxRx(kCmdReadBlock, kRateCheckAddress, count, nullptr, back, sizeof back))
        return code;
    return std::memcmp(back, sent, count) == 0 ? kOk : kVerifyFailed;
}

// Step j. Returns 0, or the code of a failed check of the new rate.
int changeBaudRate(EngineSession &s)
{
    EngineSettings &settings = s.settings;
    TargetState &t = s.target;
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
        const int asked =
            settings.baudIndex < std::size(kLineRates) ? kLineRates[settings.baudIndex] : kStartBaudRate;
        if (asked != s.link.baudRate())
            s.sink.print("Loader identity not read. Baudrate remains at %d Baud\n", s.link.baudRate());
        return kOk;
    }
    if (!clocks && s.toolkit.rateOnlyForKnownFamilies) {
        s.sink.print("Loader family %02X unknown. Baudrate remains at %d Baud\n", int(t.family[0]), s.link.baudRate());
        return kOk;
    }
    int rate = 0; // never matches: other families always get the command
    if (clocks) {
        if (settings.baudIndex != 1 && settings.baudIndex != 2)
            settings.baudIndex = 0;
        t.clockWord = clocks[settings.baudIndex];
        rate = kLineRates[settings.baudIndex];
    }
    const int current = s.link.baudRate();
    if (rate == current)
        return kOk;
    s.sink.print("Change Baudrate ");
    if (s.frames.bslTxRx(kCmdChangeBaud, t.clockWord, settings.baudIndex, nullptr, nullptr) != kOk) {
        s.sink.print("command not accepted. Baudrate remains at %d Baud\n", current);
        return kOk;
    }
    s.sink.print("from %d ", current);
    s.link.setBaudRate(rate);
    s.link.sleepMs(kBaudSettleMs);
    t.lineRate = s.link.baudRate();
    s.sink.print("to %d Baud (Mode: %d)\n", t.lineRate, int(settings.baudIndex));
    return s.toolkit.checkFullFrames ? checkFullFrames(s) : kOk;
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

// Step g: the replacement loader into RAM and started. Sets runPatch to
// whether the patch step may follow (a small loader is the whole story).
int startLoader(EngineSession &s, bool &passwordPhase, bool &runPatch)
{
    TargetState &t = s.target;
    const char *file = s.settings.loaderFile->c_str();
    const uint32_t address = loaderAddress(file);
    s.sink.print("Load");
    if (t.versionWord >= kVersionVerifies)
        s.sink.print("/Verify");
    s.sink.print(" new BSL \"%s\" into RAM at 0x%04X...\n", file, unsigned(address));
    if (int code = programTIText(s, file, nullptr, kActProgram, 0))
        return code;
    if (t.versionWord < kVersionVerifies) {
        s.sink.print("Verify new BSL \"%s\"...\n", file);
        if (int code = programTIText(s, file, nullptr, kActVerify, 0))
            return code;
    }
    uint8_t head[kFrameBufferSize] = {};
    if (int code = s.frames.bslTxRx(kCmdReadBlock, uint16_t(address), 4, nullptr, head, sizeof head))
        return code;
    const uint16_t entry = uint16_t(head[0] | (head[1] << 8));
    const bool largeModel = (head[2] | (head[3] << 8)) != 0;
    if (largeModel) {
        t.errorAddressVariable = kErrorAddressNew;
        s.sink.print("Start new BSL (LARGE model > 1K Bytes) at 0x%04X...\n", unsigned(entry));
    } else {
        s.sink.print("Start new BSL (SMALL model < 512 Bytes) at 0x%04X...\n", unsigned(entry));
    }
    if (int code = s.frames.bslTxRx(kCmdLoadPc, entry, 0, nullptr, nullptr))
        return code;
    forgetMemoryOffset(s);
    t.patchRequired = false;
    t.patchLoaded = false;
    runPatch = largeModel;
    if (!largeModel)
        return kOk;
    const int code = txPassword(s, orNull(s.settings.passwordFile));
    passwordPhase = code != kOk;
    return code;
}

// Steps g-i: replacement loader, flash patch, mass erase under a new loader.
int loadLoaderOrPatch(EngineSession &s, bool &passwordPhase)
{
    EngineSettings &settings = s.settings;
    bool runPatch = true;
    if (settings.loaderFile) {
        if (int code = startLoader(s, passwordPhase, runPatch))
            return code;
    }

    if (runPatch && s.target.patchRequired) {
        s.sink.print("Load and verify patch \"%s\"...\n", settings.patchFile.c_str());
        if (int code = programTIText(s, settings.patchFile.c_str(), nullptr, kActProgram | kActVerify, 0))
            return code;
        s.target.patchLoaded = true;
    }

    if (settings.loaderFile && settings.passwordFile && settings.actions.massErase) {
        s.sink.print("Mass Erase...\n");
        s.sink.status(kStatusProgress);
        if (int code = s.frames.bslTxRx(kCmdMassErase, kMassEraseAddress, kMassEraseKey, nullptr, nullptr))
            return code;
        settings.passwordFile.reset();
    }
    return kOk;
}

// Step l, -1: erase check, program and verify in one pass through the file.
int onePassActions(EngineSession &s)
{
    const ActionFlags &a = s.settings.actions;
    const struct
    {
        bool asked;
        unsigned action;
        const char *name;
    } steps[] = {{a.eraseCheck, kActEraseCheck, "EraseCheck "},
                 {a.fastEraseCheck, kActFastEraseCheck, "EraseCheckFast "},
                 {a.program, kActProgram, "Program "},
                 {a.verify, kActVerify, "Verify "}};
    unsigned actions = 0;
    for (const auto &step : steps) {
        if (step.asked) {
            actions |= step.action;
            s.sink.print("%s", step.name);
        }
    }
    if (actions != 0) {
        s.sink.print("\"%s\" ...\n", orEmpty(s.settings.programFile));
        if (int code = programTIText(s, orNull(s.settings.programFile), nullptr, actions, 0))
            return code;
    }
    s.sink.print("%i bytes programmed.\n", s.text.bytesCounted);
    return kOk;
}

// Step l, program: the buffer text and the file.
int programFile(EngineSession &s, bool &passwordPhase)
{
    const EngineSettings &settings = s.settings;
    const char *file = orNull(settings.programFile);
    const char *name = orEmpty(settings.programFile);
    s.sink.print("Program \"%s\"...\n", name);
    const int code = programTIText(s, file, orNull(settings.bufferText), kActProgram, 0);
    if (code == kOk) {
        s.sink.print("%i bytes programmed.\n", s.text.bytesCounted);
        // A frame can arrive with two bits flipped and its checksum whole.
        if (!s.toolkit.readBack)
            return kOk;
        s.sink.print("Read back \"%s\"...\n", name);
        return programTIText(s, file, orNull(settings.bufferText), kActVerify, 0);
    }
    if (!settings.loaderFile)
        return kVerifyFailed; // every programming failure counts as one
    if (settings.actions.extendedMemory) {
        if (int offsetCode = setMemoryOffset(s, 0)) {
            passwordPhase = true;
            return offsetCode;
        }
    }
    uint8_t reply[kFrameBufferSize] = {};
    if (int readCode =
            s.frames.bslTxRx(kCmdReadBlock, s.target.errorAddressVariable, 2, nullptr, reply, sizeof reply))
        return readCode;
    const unsigned value = unsigned(reply[0] | (reply[1] << 8));
    s.sink.print("Verification Error at 0x%04X\n", (value - 3) & 0xFFFF);
    return kVerifyFailed; // what the loader could not write is not programmed
}

// Step l: the actions on the program file.
int fileActions(EngineSession &s, bool &passwordPhase)
{
    const EngineSettings &settings = s.settings;
    const ActionFlags &a = settings.actions;
    const char *file = orNull(settings.programFile);
    const char *name = orEmpty(settings.programFile);

    if (a.onePass)
        return onePassActions(s);
    if (a.eraseCheck) {
        s.sink.print("Erase Check by file \"%s\"...\n", name);
        if (int code = programTIText(s, file, nullptr, kActEraseCheck, 0))
            return code;
    }
    if (a.fastEraseCheck) {
        s.sink.print("Fast E-Check by file \"%s\"...\n", name);
        if (int code = programTIText(s, file, nullptr, kActFastEraseCheck, 0))
            return code;
    }
    if (a.program) {
        if (int code = programFile(s, passwordPhase))
            return code;
    }
    if (a.verify) {
        if (a.program && (s.target.versionWord >= kVersionVerifies || settings.loaderFile)) {
            s.sink.print("Verify... already done during programming.\n");
        } else {
            s.sink.print("Verify\"%s\"...\n", name);
            if (int code = programTIText(s, file, nullptr, kActVerify, 0))
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
int checkPatchBeforeErase(EngineSession &s)
{
    const EngineSettings &settings = s.settings;
    const ActionFlags &a = settings.actions;
    if (!a.massErase || !accessesFlash(a) || settings.loaderFile || !settings.passwordFile
        || settings.passwordFile->empty())
        return kOk;
    const char *patch = settings.patchFile.c_str();
    if (checkTIText(patch, nullptr, &s.text.failedFile) == kOk)
        return kOk;
    // The loader as read before this run (by the toolkit's check) tells.
    if (const std::optional<LoaderIdentity> &known = s.toolkit.knownLoader)
        return known->versionWord() > kVersionNeedsPatch ? kOk : checkTIText(patch, nullptr, &s.text.failedFile);
    if (txPassword(s, settings.passwordFile->c_str()) != kOk)
        return kOk;
    if (a.extendedMemory && setMemoryOffset(s, 0) != kOk)
        return kOk;
    // Open, but its version unread: nothing after the erase could tell either.
    if (int code = readVersion(s))
        return s.target.identityKnown ? kOk : code;
    if (!s.target.patchRequired)
        return kOk;
    return checkTIText(patch, nullptr, &s.text.failedFile); // 96, naming the patch file
}

// A toolkit run that knows its loader asks the faster rate before the erase
// rather than after it: the erase cycles and everything after them run at it.
// The password is the one that opened the instrument for the check before;
// should it fail, the run goes on as the command line's does.
int changeRateBeforeErase(EngineSession &s)
{
    const EngineSettings &settings = s.settings;
    const bool faster = settings.baudIndex == 1 || settings.baudIndex == 2;
    if (!settings.actions.changeBaud || !faster || !s.toolkit.knownLoader || !settings.passwordFile
        || settings.passwordFile->empty() || txPassword(s, settings.passwordFile->c_str()) != kOk
        || (settings.actions.extendedMemory && setMemoryOffset(s, 0) != kOk))
        return kOk;
    adoptIdentity(s, *s.toolkit.knownLoader);
    return changeBaudRate(s);
}

// Step b: information segment A read, then the mass erase.
int eraseFirst(EngineSession &s, bool &passwordPhase)
{
    EngineSettings &settings = s.settings;
    ActionFlags &a = settings.actions;
    if (a.restoreInfoA && a.massErase) {
        s.sink.print("Read InfoA Segment...\n");
        int code = txPassword(s, orNull(settings.passwordFile));
        if (code == kOk && a.extendedMemory)
            code = setMemoryOffset(s, 0);
        if (code != kOk) {
            passwordPhase = true;
            return code;
        }
        if ((code = s.frames.bslTxRx(kCmdReadBlock, kInfoAAddress, kInfoALength, nullptr, s.infoA, sizeof s.infoA)))
            return code;
        s.infoARead = true;
    } else {
        a.restoreInfoA = false;
    }
    if (!a.massErase)
        return kOk;
    if (int code = checkPatchBeforeErase(s))
        return code;
    if (int code = changeRateBeforeErase(s))
        return code;
    s.sink.print("Mass Erase...\n");
    for (int cycle = 0; cycle < settings.massEraseCycles; ++cycle) {
        s.sink.status(kStatusProgress);
        if (cycle == 1)
            s.sink.print("Additional mass erase cycles...\n");
        if (int code = s.frames.bslTxRx(kCmdMassErase, kMassEraseAddress, kMassEraseKey, nullptr, nullptr))
            return code;
    }
    settings.passwordFile.reset(); // an erased device takes the standard password
    return kOk;
}

// Step m: information segment A written back, from its first byte that is not erased.
int restoreInfoA(EngineSession &s, bool &passwordPhase)
{
    s.sink.print("Restore InfoA Segment...\n");
    if (s.settings.actions.extendedMemory) {
        if (int code = setMemoryOffset(s, 0)) {
            passwordPhase = true;
            return code;
        }
    }
    int first = 0;
    while (first < kInfoALength && s.infoA[first] == 0xFF)
        ++first;
    if (first == kInfoALength)
        return kOk;
    std::memcpy(s.text.blockBuffer, s.infoA + first, size_t(kInfoALength - first));
    return programBlock(s, kInfoAAddress + uint32_t(first), uint16_t(kInfoALength - first), kActProgram);
}

// Step o.
int eraseSegment(EngineSession &s)
{
    const uint32_t start = s.settings.start;
    const bool extended = s.settings.actions.extendedMemory;
    s.sink.print("Erase Segment: 0x%-4lX\n", static_cast<unsigned long>(start));
    if (extended) {
        if (int code = setMemoryOffset(s, uint16_t(start >> 16)))
            return code;
    }
    if (int code = s.frames.bslTxRx(kCmdEraseSegment, uint16_t(start & 0xFFFF), kEraseSegmentKey, nullptr, nullptr))
        return code;
    if (extended && setMemoryOffset(s, 0) != kOk)
        return kFrameError;
    return kOk;
}

// One pass, steps a-o. Returns 0 or the code the run fails with.
int runPass(EngineSession &s, bool &passwordPhase)
{
    const EngineSettings &settings = s.settings;
    const ActionFlags &a = settings.actions;
    TargetState &t = s.target;
    passwordPhase = false;
    s.infoARead = false;

    // a, b: with a loader and a password file the erase comes later (i).
    if (!(settings.loaderFile && settings.passwordFile)) {
        if (int code = eraseFirst(s, passwordPhase))
            return code;
    }

    // c, d
    if (!a.userCalled) {
        if (int code = txPassword(s, orNull(settings.passwordFile))) {
            passwordPhase = true;
            return code;
        }
    }
    if (a.extendedMemory) {
        if (int code = setMemoryOffset(s, 0)) {
            passwordPhase = true;
            return code;
        }
    }

    // e: a failed read is not an error in itself; the values from before
    // stay. But with none, a loader that may need the flash patch would be
    // programmed without it (or a replacement loader started on a guess):
    // such a run stops with the read's code.
    const int identityCode = readVersion(s);
    if (!t.identityKnown && (accessesFlash(a) || settings.loaderFile))
        return identityCode;

    // f-i
    if (t.patchRequired || (settings.loaderFile && t.versionWord <= kVersionNeedsPatch)) {
        s.sink.print("Load PC with 0x0C22...\n");
        if (int code = s.frames.bslTxRx(kCmdLoadPc, kBslRestartEntry, 0, nullptr, nullptr))
            return code;
        forgetMemoryOffset(s);
        if (int code = txPassword(s, orNull(settings.passwordFile))) {
            passwordPhase = true;
            return code;
        }
        if (int code = loadLoaderOrPatch(s, passwordPhase))
            return code;
    } else if (settings.loaderFile) {
        if (int code = loadLoaderOrPatch(s, passwordPhase))
            return code;
    }

    // j, k
    if (a.changeBaud) {
        if (int code = changeBaudRate(s))
            return code;
    }
    s.times.programStart = s.link.tickMs();

    // l-o
    if (int code = fileActions(s, passwordPhase))
        return code;
    if (a.restoreInfoA && s.infoARead) {
        if (int code = restoreInfoA(s, passwordPhase))
            return code;
    }
    if (a.readMemory) {
        if (int code = readMemory(s))
            return code;
    }
    if (a.eraseSegment)
        return eraseSegment(s);
    return kOk;
}

int finishRun(EngineSession &s, int code, bool passwordPhase)
{
    const ActionFlags &a = s.settings.actions;

    if (a.extendedMemory) {
        // Sent even where the offset is known: it confirms the last write
        // and shows that the line still answers at the end of the run.
        forgetMemoryOffset(s);
        const int offsetCode = setMemoryOffset(s, 0);
        if (code == kOk)
            code = offsetCode;
    }
    if (a.reset)
        s.frames.bslReset(false);

    switch (code) {
    case kOk:
        if (a.program)
            s.sink.print("Programming completed.");
        else if (a.verify)
            s.sink.print("Verification successful.");
        s.sink.print("Prog/Verify: %.1f sec", double(uint32_t(s.times.runEnd - s.times.programStart)) / 1000.0);
        s.sink.print(" - Over all: %.1f sec\n", double(uint32_t(s.times.runEnd - s.times.runStart)) / 1000.0);
        break;
    case kRangeError: s.sink.print("ERROR: Invalid memory range!\n"); break;
    case kOutputFileError:
        s.sink.print("ERROR: Unable to write output file \"%s\"!\n", s.settings.readFile.c_str());
        break;
    case kInputFileError:
        s.sink.print("ERROR: Unable to open input file \"%s\"!\n", s.text.failedFile.c_str());
        break;
    case kEraseCheckFailed: s.sink.print("ERROR: Erase check failed!\n"); break;
    case kVerifyFailed: s.sink.print("ERROR: Verification failed!\n"); break;
    case kNoSync:
        s.sink.print("ERROR: Synchronization failed!\n");
        s.sink.print("Device with boot loader connected?\n");
        break;
    default:
        if (code == kNak && passwordPhase)
            s.sink.print("ERROR: Password not accepted!\n");
        else
            s.sink.print("ERROR: Communication Error!\n");
        break;
    }

    s.link.comClose();
    const int result = runResult(code);
    if (a.program)
        s.sink.status(result);
    return result;
}

int run(EngineSession &s)
{
    const EngineSettings &settings = s.settings;
    // A name longer than the port takes is refused, never cut to another port's name.
    if (settings.portName.size() > size_t(kMaxPortNameLength)
        || s.link.comOpen(settings.portName.c_str(), kReplyTimeoutBase, kReplyTimeoutFactor) != 0) {
        s.sink.print("ERROR: Opening COM-Port failed!\n");
        s.sink.status(kStatusPortFailed);
        return kResultHelpOrPort;
    }

    // Never erase a device when what would be programmed afterwards cannot
    // be read.
    if (settings.actions.massErase && settings.actions.program) {
        if (int code = checkTIText(orNull(settings.programFile), orNull(settings.bufferText), &s.text.failedFile))
            return finishRun(s, code, false);
    }

    if (!settings.actions.userCalled) {
        s.frames.bslReset(settings.actions.invokeBsl);
        s.times.runStart = s.link.tickMs();
    }

    for (;;) {
        bool passwordPhase = false;
        if (int code = runPass(s, passwordPhase))
            return finishRun(s, code, passwordPhase);
        if (!settings.actions.userCalled)
            break;
        s.settings.actions.userCalled = false;
        s.sink.print("No Device reset - BSL called from user program ---------------------\n");
    }
    s.times.runEnd = s.link.tickMs();
    return finishRun(s, kOk, false);
}

} // namespace

RunOutcome runEngine(const RunRequest &request, EngineSink &sink, LinkTransport *line)
{
    // One run at a time in the process, whoever asks: a run blocks its
    // thread for its whole length, and the callers (one worker thread, one
    // command line) never overlap; this makes it so.
    static std::mutex oneRun;
    const std::lock_guard<std::mutex> running(oneRun);

    EngineSession session(request, sink, line);
    RunOutcome outcome;
    outcome.result = run(session);
    const TargetState &t = session.target;
    if (t.identityKnown) {
        LoaderIdentity &loader = outcome.loader.emplace();
        std::copy(std::begin(t.family), std::end(t.family), loader.family);
        std::copy(std::begin(t.process), std::end(t.process), loader.process);
        loader.versionMajor = t.versionMajor;
        loader.versionMinor = t.versionMinor;
    }
    outcome.opened = t.unlocked;
    outcome.lineRate = t.lineRate;
    outcome.firstDifference = t.firstDifference;
    if (outcome.result == kResultSuccess)
        outcome.memory = std::move(session.memoryRead);
    return outcome;
}

} // namespace bsl
