#pragma once

#include <QByteArray>
#include <QString>

// Files that must survive a crash, a pulled plug or a full disk exactly as
// written, such as the only copy of an instrument's calibration. A write
// counts only once the bytes are on the disk under their final name and read
// back equal; anything less is a failure with a reason the user can act on.
namespace durable {

// Files beside path: the one writeFile fills before it takes path's place,
// and the previous generation that callers who keep one write to.
constexpr const char *kNewSuffix = ".new";
constexpr const char *kOldSuffix = ".old";

// Writes contents to path + kNewSuffix (never through a symbolic link),
// flushes it to the disk, renames it over path, flushes the folder and reads
// path back. True only when what is read back equals contents; otherwise
// *error says what failed ("cannot write ...: No space left on device").
bool writeFile(const QString &path, const QByteArray &contents, QString *error);

// Reads at most maxSize bytes. Sets *exists to whether there is anything at
// path; returns empty when it cannot be read.
QByteArray readFile(const QString &path, qint64 maxSize, bool *exists = nullptr);

} // namespace durable
