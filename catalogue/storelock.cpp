#include "storelock.h"

#include "firmwarestore.h"
#include "safefile.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>

namespace {

constexpr int kWaitMs = 60000;          // for another process's refresh; seconds on a working line
constexpr int kPollMs = 250;            // between attempts while another process holds it
constexpr int kStaleMs = 5 * 60000;     // a holder that has not touched it this long has gone astray
constexpr int kTouchMs = 60000;         // the holder's sign of life
constexpr int kUnnamedGraceMs = 5000;   // a holder writes its name right after creating the file

} // namespace

StoreLock::StoreLock(QObject *parent) : QObject(parent)
{
    retry.setSingleShot(true);
    retry.setInterval(kPollMs);
    connect(&retry, &QTimer::timeout, this, &StoreLock::attempt);
    touch.setInterval(kTouchMs);
    connect(&touch, &QTimer::timeout, this, [this] { safefile::touch(lockPath); });
}

StoreLock::~StoreLock()
{
    unlock();
}

StoreLock::Attempt StoreLock::tryLock(const QString &directory, QString *why)
{
    if (lock)
        return Attempt::Held;
    if (!QDir().mkpath(directory)) {
        safefile::checkWritableFolder(directory, why);
        return Attempt::Failed;
    }
    folder = directory;
    lockPath = FirmwareStore(directory).pathOf(FirmwareStore::kLockName);
    auto file = std::make_unique<QLockFile>(lockPath);
    // A crashed holder is found by its process id, a hung one by the age of its file.
    file->setStaleLockTime(kStaleMs);
    qint64 pid = 0;
    QString host, application;
    const QFileInfo info(lockPath);
    const bool named = file->getLockInfo(&pid, &host, &application);
    // A file that names no holder (cut short as it was made), not being written just now.
    if (info.exists() && !named && qAbs(info.lastModified().msecsTo(QDateTime::currentDateTime())) > kUnnamedGraceMs)
        file->removeStaleLockFile();
    if (file->tryLock(0)) {
        lock = std::move(file);
        touch.start();
        return Attempt::Held;
    }
    if (file->error() == QLockFile::LockFailedError) {
        *why = named ? QStringLiteral("another process (%1) is refreshing the firmware folder").arg(pid)
                     : QStringLiteral("another process is refreshing the firmware folder");
        return Attempt::Busy;
    }
    // Held by nobody, and yet not made: the folder will not take a file.
    if (safefile::checkWritableFolder(directory, why))
        *why = QStringLiteral("cannot create the lock file ") + QDir::toNativeSeparators(lockPath);
    return Attempt::Failed;
}

void StoreLock::acquire(const QString &directory)
{
    folder = directory;
    attempts = 0;
    waited.start();
    attempt();
}

void StoreLock::attempt()
{
    QString why;
    const Attempt result = tryLock(folder, &why);
    if (result == Attempt::Held) {
        emit acquired();
        return;
    }
    if (attempts++ == 0)
        emit missed(why);
    if (result == Attempt::Busy && waited.elapsed() < kWaitMs) {
        retry.start();
        return;
    }
    emit abandoned(result, result == Attempt::Busy ? why + QStringLiteral(" for more than %1 s").arg(kWaitMs / 1000) : why);
}

void StoreLock::unlock()
{
    touch.stop();
    retry.stop();
    if (!lock)
        return;
    // Nothing of this process runs once it lets go: what is staged is a leftover.
    FirmwareStore(folder).removeStaging();
    lock.reset(); // unlocks
}
