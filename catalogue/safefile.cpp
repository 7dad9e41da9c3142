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

bool readRegularFile(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *error)
{
    bytes->clear();
    QFile file;
#ifdef Q_OS_WIN
    if (!isRegularFile(path)) {
        setError(error, QStringLiteral("not a regular file"));
        return false;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, file.errorString());
        return false;
    }
#else
    // O_NOFOLLOW: a link swapped in after any check still fails here.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setError(error, errno == ELOOP ? QStringLiteral("a symbolic link") : systemError());
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        setError(error, QStringLiteral("not a regular file"));
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        setError(error, file.errorString());
        return false;
    }
#endif
    *bytes = file.read(maxBytes + 1);
    if (bytes->size() > maxBytes) {
        bytes->clear();
        setError(error, QStringLiteral("larger than %1 bytes").arg(maxBytes));
        return false;
    }
    if (file.error() != QFileDevice::NoError) {
        bytes->clear();
        setError(error, file.errorString());
        return false;
    }
    return true;
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

bool writeFile(const QString &path, const QByteArray &bytes, QString *error, Check check)
{
    const QFileInfo target(path);
    // QTemporaryFile creates its file exclusively and owner-only, so nothing
    // planted under the temporary name is followed either.
    QTemporaryFile temporary(target.absolutePath() + QStringLiteral("/.") + target.fileName()
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
    if (::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) != 0) {
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
