#include "durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace durable {

namespace {

QString failure(const QString &what, const QString &path, const QString &why)
{
    return what + QLatin1Char(' ') + QDir::toNativeSeparators(path) + QStringLiteral(": ") + why;
}

#ifdef Q_OS_WIN

bool writeAndFlush(const QString &newPath, const QByteArray &contents, QString *error)
{
    QFile file(newPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        *error = failure(QStringLiteral("cannot create"), newPath, file.errorString());
        return false;
    }
    const bool written = file.write(contents) == contents.size() && file.flush()
        && FlushFileBuffers(HANDLE(_get_osfhandle(file.handle())));
    if (!written)
        *error = failure(QStringLiteral("cannot write"), newPath, file.errorString());
    file.close();
    return written;
}

bool replace(const QString &from, const QString &to, QString *error)
{
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *error = failure(QStringLiteral("cannot put in place"), to, QString::number(GetLastError()));
    return false;
}

// MOVEFILE_WRITE_THROUGH has already made the new name durable.
bool flushFolder(const QString &, QString *)
{
    return true;
}

#else

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool writeAndFlush(const QString &newPath, const QByteArray &contents, QString *error)
{
    const QByteArray native = QFile::encodeName(newPath);
    // O_EXCL and O_NOFOLLOW: a link planted under this name is never written through.
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = failure(QStringLiteral("cannot create"), newPath, errnoText());
        return false;
    }
    const char *data = contents.constData();
    qint64 left = contents.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = failure(QStringLiteral("cannot write"), newPath, errnoText());
            ::close(fd);
            return false;
        }
        data += n;
        left -= n;
    }
    if (::fsync(fd) != 0) {
        *error = failure(QStringLiteral("cannot flush"), newPath, errnoText());
        ::close(fd);
        return false;
    }
    if (::close(fd) != 0) {
        *error = failure(QStringLiteral("cannot write"), newPath, errnoText());
        return false;
    }
    return true;
}

bool replace(const QString &from, const QString &to, QString *error)
{
    // rename() replaces a link at `to` itself, never the file it points to.
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = failure(QStringLiteral("cannot put in place"), to, errnoText());
    return false;
}

bool flushFolder(const QString &folder, QString *error)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        *error = failure(QStringLiteral("cannot flush the folder"), folder, errnoText());
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

#endif

} // namespace

bool writeFile(const QString &path, const QByteArray &contents, QString *error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = failure(QStringLiteral("cannot create the folder"), folder, QStringLiteral("not permitted or blocked"));
        return false;
    }
    const QString newPath = path + QLatin1String(kNewSuffix);
    // Left by an interrupted write, or put there by someone else: never a result.
    QFile::remove(newPath);
    if (!writeAndFlush(newPath, contents, error) || !replace(newPath, path, error)) {
        QFile::remove(newPath);
        return false;
    }
    if (!flushFolder(folder, error))
        return false;
    // A disk may accept every call and still keep less than was written.
    bool exists = false;
    if (readFile(path, contents.size() + 1, &exists) != contents) {
        *error = failure(QStringLiteral("read back differs from what was written to"), path,
                         QStringLiteral("the disk may be full or failing"));
        return false;
    }
    return true;
}

QByteArray readFile(const QString &path, qint64 maxSize, bool *exists)
{
    const QFileInfo info(path);
    if (exists)
        *exists = info.exists() || info.isSymLink();
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(maxSize);
}

} // namespace durable
