#pragma once

namespace bsl {

// One complete run against the device on one serial port, driven by a
// command-line style argument vector (argv[0] is "BSLENGINE"). Returns 100 on
// success, 100 + code on failure, 1 for help or a port that cannot be opened.
int bslEngineMain(int argc, char **argv);

int parseCommandLine(int argc, char **argv);
void showHelp();
int finishRun(int code, bool passwordPhase);

} // namespace bsl
