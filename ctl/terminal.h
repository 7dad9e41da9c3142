#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

namespace nvxctl {

bool stdoutIsTerminal();
void writeOut(const QString &text);
void printOut(const QString &line); // with a line feed
void printErr(const QString &line); // "nvx7300ctl: " + line + line feed
// The last line printErr printed; empty before any.
QString lastError();
// Text for people: on standard output, or on standard error once standard
// output is kept for a JSON document.
void say(const QString &line);
void keepStandardOutputForJson();
// Lines of a table with columns as wide as their widest cell, two spaces apart.
QStringList formatTable(const QStringList &headers, const QVector<QStringList> &rows);
// One row of cells, each padded to its width and two spaces; the last as it is.
QString formatRow(const QStringList &cells, const QVector<int> &widths);
// A bar that fills when ticks reach the job's total, and its percent
// ("[#####.....] 50 %"); total 0 (not known) shows an empty bar.
QString progressBar(int ticks, int total, int width);

} // namespace nvxctl
