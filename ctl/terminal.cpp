#include "terminal.h"

#include <cstdio>
#include <unistd.h>

namespace nvxctl {

namespace {
bool g_sayOnStderr = false;
QString g_lastError;
} // namespace

bool stdoutIsTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

void writeOut(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
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
