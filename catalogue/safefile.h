#pragma once

#include <QByteArray>
#include <QString>

class QFileDevice;

// File operations for a folder that other programs and people can also put
// things into (the per-user firmware folder). None of them goes through a
// symbolic link: a link found at a name is replaced or removed as the link
// itself, its target is never written, read or chmod-ed. A write counts only
// once the bytes are on the disk under their final name; failures come with
// the system's reason ("cannot write ...: No space left on device").
namespace safefile {

// True when path names a symbolic link (dangling or not).
bool isSymLink(const QString &path);
// True when path names a regular file itself, not a link to one.
bool isRegularFile(const QString &path);
// True when anything at all is at path, a dangling link included.
bool exists(const QString &path);

// What is at a path. Only "no such file" is Missing: any other error
// examining it (permission, I/O) is Failed, and whoever finds it leaves the
// entry alone, since it may well hold something of value.
enum class Lookup { Missing, RegularFile, Other, Failed };
Lookup lookUp(const QString &path, QString *error = nullptr);

// How a read ended; Missing only for "no such file".
enum class Read { Ok, Missing, NotRegular, TooLarge, Failed };
Read readFile(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *error = nullptr);

// Reads a regular file of at most maxBytes. False with a reason when path is
// a link, not a file, unreadable or larger.
bool readRegularFile(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *error = nullptr);

// What writeFile does once the file is in place.
enum class Check {
    None,
    // Reads the file back and compares: a disk may accept every call and
    // still keep less than was written. For files that are the only copy of
    // something (an instrument's calibration).
    ReadBack,
};

// Writes bytes to path durably: a new owner-only temporary file in the same
// folder ("." + name + ".XXXXXX.new"), flushed to the disk, then renamed over
// path and the folder flushed. A reader sees the old content or the new,
// never a part; a link at path is replaced, never followed.
bool writeFile(const QString &path, const QByteArray &bytes, QString *error = nullptr, Check check = Check::None);

// Writes bytes to path as writeFile does, but only when nothing is there:
// whatever another process put in place meanwhile stays. True when the
// bytes were put there; false with the reason otherwise, *existed set when
// something was already there.
bool createFile(const QString &path, const QByteArray &bytes, bool *existed, QString *error = nullptr);

// True when folder can take a new file: one is created, written and
// removed. False with the system's reason (read-only, not permitted, full).
bool checkWritableFolder(const QString &folder, QString *error);

// Sets a file's modification time to now (a lock's sign of life).
void touch(const QString &path);

// Renames the regular file source over target (same folder or file system)
// and flushes the folder: atomic, and a link at target is replaced, not followed.
bool replaceWith(const QString &source, const QString &target, QString *error = nullptr);

// Removes the entry at path: a link is unlinked, a read-only file made
// writable first (Windows refuses to delete it otherwise). True when nothing
// is left there.
bool remove(const QString &path);

// Owner read and write (0x6000) for a regular file; a link is left alone.
void makeOwnerWritable(const QString &path);

// Flushes an open file to the disk.
bool sync(QFileDevice &file);

} // namespace safefile
