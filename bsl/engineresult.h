#pragma once

// The engine's result and status values and its line rates, in one place
// for the engine and for everything that runs it.
namespace bsl {

constexpr int kStartBaudRate = 9600; // every run opens the line at it; the loader starts at it
constexpr int kLineRates[] = {kStartBaudRate, 19200, 38400}; // what -s chooses, by its number

// Layer result codes, shared by the whole engine.
constexpr int kOk = 0;
constexpr int kFrameError = 1;
constexpr int kNoReply = 6;
constexpr int kNak = 7;
constexpr int kCmdFailed = 9;
constexpr int kNoSync = 99;

// Result codes the run adds to the frame layer's codes.
constexpr int kRangeError = 94; // a memory read that cannot be done as asked
constexpr int kOutputFileError = 95; // the read's output file cannot be written
constexpr int kInputFileError = 96;
constexpr int kEraseCheckFailed = 97;
constexpr int kVerifyFailed = 98;

// What bslEngineMain returns: kResultSuccess + the code the run ended with,
// or kResultHelpOrPort.
constexpr int kResultSuccess = 100;
constexpr int kResultHelpOrPort = 1; // help shown or port not opened
constexpr int runResult(int code) { return kResultSuccess + code; }
constexpr int kResultNoReply = runResult(kNoReply); // the loader stopped answering
constexpr int kResultNoSync = runResult(kNoSync); // nothing answered the sync byte
// Runs that stopped on this computer: a memory range, the output file, an input file.
constexpr int kResultRange = runResult(kRangeError);
constexpr int kResultOutputFile = runResult(kOutputFileError);
constexpr int kResultInputFile = runResult(kInputFileError);
constexpr bool stoppedHere(int result)
{
    return result == kResultRange || result == kResultOutputFile || result == kResultInputFile;
}

// Status values a run reports through its sink.
constexpr int kStatusPortFailed = 1;
constexpr int kStatusProgress = 2; // one tick per erase cycle and per block

} // namespace bsl
