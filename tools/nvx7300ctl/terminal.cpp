#include "terminal.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace nvxctl {

namespace {
FILE *g_out = nullptr;

FILE *out()
{
    return g_out ? g_out : stdout;
}
} // namespace

void takeStandardOutput(bool verbose)
{
    if (g_out)
        return;
    std::fflush(stdout);
    const int kept = dup(STDOUT_FILENO);
    if (kept < 0)
        return;
    FILE *file = fdopen(kept, "w");
    if (!file) {
        close(kept);
        return;
    }
    const int sink = verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
    if (sink < 0) {
        std::fclose(file);
        return;
    }
    dup2(sink, STDOUT_FILENO);
    close(sink);
    g_out = file;
}

bool stdoutIsTerminal()
{
    return isatty(fileno(out())) != 0;
}

void writeOut(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), out());
    std::fflush(out());
}

void printOut(const QString &line)
{
    writeOut(line + QLatin1Char('\n'));
}

void printErr(const QString &line)
{
    std::fprintf(stderr, "nvx7300ctl: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

QString progressBar(int ticks, int width)
{
    const int filled = qBound(0, ticks * width / kTicksForFullBar, width);
    return QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.'))
           + QLatin1Char(']');
}

} // namespace nvxctl
