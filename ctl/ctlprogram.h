#pragma once

namespace nvxctl {

// The whole of nvx7300ctl, from its command line to its exit status. Runs the
// QCoreApplication itself.
int runProgram(int argc, char **argv);

} // namespace nvxctl
