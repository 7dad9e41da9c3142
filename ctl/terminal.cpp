#include "terminal.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace nvxctl {

namespace {
FILE *g_out = nullptr;
bool g_sayOnStderr = false;
QString g_lastError;

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
    g_lastError = line;
    std::fprintf(stderr, "nvx7300ctl: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

QString lastError()
{
    return g_lastError;
}

void keepStandardOutputForJson()
{
    g_sayOnStderr = true;
}

void say(const QString &line)
{
    if (!g_sayOnStderr) {
        printOut(line);
        return;
    }
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

QStringList formatTable(const QStringList &headers, const QVector<QStringList> &rows)
{
    QVector<int> widths(headers.size());
    for (int col = 0; col < headers.size(); ++col) {
        widths[col] = headers.at(col).size();
        for (const QStringList &row : rows)
            widths[col] = qMax(widths[col], row.value(col).size());
    }
    QStringList lines{formatRow(headers, widths)};
    for (const QStringList &row : rows)
        lines << formatRow(row, widths);
    return lines;
}

QString formatRow(const QStringList &cells, const QVector<int> &widths)
{
    QString line;
    for (int col = 0; col < cells.size(); ++col)
        line += col + 1 < cells.size() ? cells.at(col).leftJustified(widths.value(col) + 2) : cells.at(col);
    return line;
}

QString progressBar(int ticks, int total, int width)
{
    const int filled = total > 0 ? qBound(0, ticks * width / total, width) : 0;
    const int percent = total > 0 ? qBound(0, ticks * 100 / total, 100) : 0;
    return QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.'))
           + QStringLiteral("] %1 %").arg(percent);
}

} // namespace nvxctl
