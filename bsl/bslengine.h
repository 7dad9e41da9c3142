#pragma once

#include "runrequest.h"

namespace bsl {

class EngineSink;
class LinkTransport;

// One complete run against the device on one serial port: what request
// asks, printed to sink. The line is the serial port the request names, or
// line when given (not owned). Runs never overlap: a second caller waits for
// the run in progress. The result is 100 on success, 100 + code on failure,
// 1 for a port that cannot be opened.
RunOutcome runEngine(const RunRequest &request, EngineSink &sink, LinkTransport *line = nullptr);

// The command line (argv[0] is "BSLENGINE"): prints the banner, parses into
// kept (what an earlier command line of the caller left there: see
// EngineSettings) and runs it. Returns runEngine's result, or 1 for help.
int bslEngineMain(int argc, char **argv, EngineSink &sink, EngineSettings &kept, LinkTransport *line = nullptr);

// Resets the per-run fields of settings and applies the arguments. Returns
// 0, or 1 after showHelp.
int parseCommandLine(int argc, char **argv, EngineSettings &settings, EngineSink &sink);
void showHelp(EngineSink &sink);

} // namespace bsl
