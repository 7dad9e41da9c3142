#pragma once

#include <QByteArray>
#include <QString>

// Files a test writes for the code under test and reads back from it.
namespace nvxtest {

// Writes bytes to path, making its folder. Returns path; a file that cannot
// be written fails the running test and gives an empty path.
QString writeFile(const QString &path, const QByteArray &bytes);

// The file's bytes, or "<missing>" when it cannot be read, so that a missing
// file never compares equal to an empty one.
QByteArray readFile(const QString &path);

} // namespace nvxtest
