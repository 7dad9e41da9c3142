#pragma once

#include <QString>

namespace nvxctl {

// The engine echoes every frame it sends onto standard output. The program
// keeps the real standard output for its own lines and sends file descriptor 1
// to standard error (verbose) or nowhere.
void takeStandardOutput(bool verbose);

bool stdoutIsTerminal();
// Writes to the real standard output, as it was before takeStandardOutput.
void writeOut(const QString &text);
void printOut(const QString &line); // with a line feed
void printErr(const QString &line); // "nvx7300ctl: " + line + line feed
// A bar at the window's scale: it fills after kTicksForFullBar ticks.
QString progressBar(int ticks, int width);
constexpr int kTicksForFullBar = 170;

} // namespace nvxctl
