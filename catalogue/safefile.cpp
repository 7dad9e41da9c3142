#include "safefile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#ifdef Q_OS_WIN
#include <io.h>
#include <qt_windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace safefile {

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

// "cannot write /path/file: No space left on device"
QString failure(const QString &what, const QString &path, const QString &why)
{
    return what + QLatin1Char(' ') + QDir::toNativeSeparators(path) + QStringLiteral(": ") + why;
}

#ifndef Q_OS_WIN
bool lstatOf(const QString &path, struct stat *info)
{
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), info) == 0;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
#endif

// A rename or a new name is durable only once the folder itself is flushed.
bool syncFolderOf(const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    // MOVEFILE_WRITE_THROUGH has already made the new name durable.
    Q_UNUSED(path)
    Q_UNUSED(error)
    return true;
#else
    const QString folder = QFileInfo(path).absolutePath();
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        setError(error, failure(QStringLiteral("cannot flush the folder"), folder, systemError()));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
#endif
}

} // namespace

bool isSymLink(const QString &path)
{
#ifdef Q_OS_WIN
    return QFileInfo(path).isSymLink();
#else
    struct stat info {};
    return lstatOf(path, &info) && S_ISLNK(info.st_mode);
#endif
}

bool isRegularFile(const QString &path)
{
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink();
#else
    struct stat info {};
    return lstatOf(path, &info) && S_ISREG(info.st_mode);
#endif
}

bool exists(const QString &path)
{
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
#else
    struct stat info {};
    return lstatOf(path, &info);
#endif
}

Lookup lookUp(const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    Q_UNUSED(error)
    const QFileInfo info(path);
    if (info.isSymLink())
        return Lookup::Other;
    if (!info.exists())
        return Lookup::Missing;
    return info.isFile() ? Lookup::RegularFile : Lookup::Other;
#else
    struct stat info {};
    if (path.isEmpty())
        return Lookup::Missing;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return Lookup::Missing;
        setError(error, failure(QStringLiteral("cannot examine"), path, systemError()));
        return Lookup::Failed;
    }
    return S_ISREG(info.st_mode) ? Lookup::RegularFile : Lookup::Other;
#endif
}

Read readFile(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *error)
{
    bytes->clear();
    QFile file;
#ifdef Q_OS_WIN
    switch (lookUp(path, error)) {
    case Lookup::Missing:
        setError(error, QStringLiteral("no such file"));
        return Read::Missing;
    case Lookup::Other:
        setError(error, QStringLiteral("not a regular file"));
        return Read::NotRegular;
    case Lookup::Failed:
        return Read::Failed;
    case Lookup::RegularFile:
        break;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, file.errorString());
        return Read::Failed;
    }
#else
    // O_NOFOLLOW: a link swapped in after any check still fails here.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int why = errno;
        setError(error, why == ELOOP ? QStringLiteral("a symbolic link") : systemError());
        return why == ENOENT || why == ENOTDIR ? Read::Missing : why == ELOOP ? Read::NotRegular : Read::Failed;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        setError(error, systemError());
        ::close(fd);
        return Read::Failed;
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        setError(error, QStringLiteral("not a regular file"));
        return Read::NotRegular;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        setError(error, file.errorString());
        return Read::Failed;
    }
#endif
    *bytes = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        bytes->clear();
        setError(error, file.errorString());
        return Read::Failed;
    }
    if (bytes->size() > maxBytes) {
        bytes->clear();
        setError(error, QStringLiteral("larger than %1 bytes").arg(maxBytes));
        return Read::TooLarge;
    }
    return Read::Ok;
}

bool readRegularFile(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *error)
{
    return readFile(path, maxBytes, bytes, error) == Read::Ok;
}

bool sync(QFileDevice &file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return ::FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()))) != 0;
#else
    return ::fsync(file.handle()) == 0;
#endif
}

namespace {

// A new owner-only file beside path ("." + name + ".XXXXXX.new") holding bytes, flushed.
// QTemporaryFile creates its file exclusively, so nothing planted under the
// temporary name is followed either.
bool writeTemporary(QTemporaryFile &temporary, const QString &path, const QByteArray &bytes, QString *error)
{
    const QFileInfo target(path);
    temporary.setFileTemplate(target.absolutePath() + QStringLiteral("/.") + target.fileName()
                              + QStringLiteral(".XXXXXX.new"));
    if (!temporary.open()) {
        setError(error, failure(QStringLiteral("cannot create a file in"), target.absolutePath(),
                                temporary.errorString()));
        return false;
    }
    if (temporary.write(bytes) != bytes.size() || !sync(temporary)) {
        setError(error, failure(QStringLiteral("cannot write"), temporary.fileName(), temporary.errorString()));
        return false;
    }
    temporary.close();
    if (temporary.error() != QFileDevice::NoError) {
        setError(error, failure(QStringLiteral("cannot write"), temporary.fileName(), temporary.errorString()));
        return false;
    }
    return true;
}

} // namespace

bool writeFile(const QString &path, const QByteArray &bytes, QString *error, Check check)
{
    QTemporaryFile temporary;
    if (!writeTemporary(temporary, path, bytes, error))
        return false;
    if (!replaceWith(temporary.fileName(), path, error))
        return false;
    temporary.setAutoRemove(false);
    if (check == Check::None)
        return true;
    QByteArray written;
    if (!readRegularFile(path, bytes.size(), &written) || written != bytes) {
        setError(error, failure(QStringLiteral("read back differs from what was written to"), path,
                                QStringLiteral("the disk may be full or failing")));
        return false;
    }
    return true;
}

bool createFile(const QString &path, const QByteArray &bytes, bool *existed, QString *error)
{
    *existed = false;
    QTemporaryFile temporary;
    if (!writeTemporary(temporary, path, bytes, error))
        return false;
#ifdef Q_OS_WIN
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken.
    if (!::MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(temporary.fileName()).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                       MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = ::GetLastError();
        *existed = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
        setError(error, failure(QStringLiteral("cannot put in place"), path, QStringLiteral("system error %1").arg(code)));
        return false;
    }
#else
    // The check for absence and the new name are one step; where the file
    // system cannot do that, a hard link is just as exclusive.
    const QByteArray source = QFile::encodeName(temporary.fileName());
    const QByteArray target = QFile::encodeName(path);
    int result = ::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE);
    if (result != 0 && errno == EINVAL) {
        result = ::link(source.constData(), target.constData());
        if (result == 0)
            ::unlink(source.constData());
    }
    if (result != 0) {
        *existed = errno == EEXIST;
        setError(error, failure(QStringLiteral("cannot put in place"), path, systemError()));
        return false;
    }
#endif
    temporary.setAutoRemove(false);
    return syncFolderOf(path, error);
}

bool checkWritableFolder(const QString &folder, QString *error)
{
    if (!QDir().mkpath(folder)) {
        setError(error, failure(QStringLiteral("cannot create the folder"), folder,
                                QStringLiteral("not permitted, or a file is in the way")));
        return false;
    }
    QTemporaryFile probe(folder + QStringLiteral("/.probe-XXXXXX.tmp"));
    if (!probe.open()) {
        setError(error, failure(QStringLiteral("cannot create a file in"), folder, probe.errorString()));
        return false;
    }
    // Written through to the file system, which refuses a full disk here;
    // not flushed to the disk, so that asking costs nothing.
    if (probe.write("probe", 5) != 5 || !probe.flush()) {
        setError(error, failure(QStringLiteral("cannot write in"), folder, probe.errorString()));
        return false;
    }
    return true;
}

void touch(const QString &path)
{
#ifdef Q_OS_WIN
    // A lock file its holder keeps open cannot be removed there anyway.
    Q_UNUSED(path)
#else
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), nullptr, AT_SYMLINK_NOFOLLOW);
#endif
}

bool replaceWith(const QString &source, const QString &target, QString *error)
{
    if (!isRegularFile(source)) {
        setError(error, failure(QStringLiteral("cannot put in place"), target,
                                source + QStringLiteral(" is not a regular file")));
        return false;
    }
#ifdef Q_OS_WIN
    makeOwnerWritable(target);
    if (!::MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(source).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(target).utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        setError(error, failure(QStringLiteral("cannot put in place"), target,
                                QStringLiteral("system error %1").arg(::GetLastError())));
        return false;
    }
#else
    // rename() replaces a link at target itself, never the file it points to.
    if (::renameat(AT_FDCWD, QFile::encodeName(source).constData(), AT_FDCWD, QFile::encodeName(target).constData())
        != 0) {
        setError(error, failure(QStringLiteral("cannot put in place"), target, systemError()));
        return false;
    }
#endif
    return syncFolderOf(target, error);
}

bool remove(const QString &path)
{
    if (!exists(path))
        return true;
    makeOwnerWritable(path);
    // QFile::remove unlinks the name: a link goes, its target stays.
    return QFile::remove(path) || !exists(path);
}

void makeOwnerWritable(const QString &path)
{
#ifdef Q_OS_WIN
    if (isRegularFile(path))
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#else
    // Removing or renaming over a file depends on its folder here, not on the
    // file's own mode; AT_SYMLINK_NOFOLLOW keeps a link's target out of it.
    // Best effort: the removal or rename that follows reports any real failure.
    if (isRegularFile(path)
        && ::fchmodat(AT_FDCWD, QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR, AT_SYMLINK_NOFOLLOW) != 0)
        qDebug().noquote() << "Cannot make " + path + " owner-writable";
#endif
}

} // namespace safefile
