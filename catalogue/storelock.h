#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QLockFile;

// The firmware store's lock across processes ("731store.lock"): the window,
// nvx7300ctl and the children of update --all share one store, and only the
// holder fetches, installs and deletes. A holder that died is found by its
// process id, one that hangs by the age of the file, which the holder touches
// every minute while it holds it. Letting go removes what this process left
// in its staging folder.
class StoreLock : public QObject
{
    Q_OBJECT

public:
    enum class Attempt {
        Held,   // this object holds the store
        Busy,   // another process holds it
        Failed, // the folder takes no lock file
    };
    Q_ENUM(Attempt)

    explicit StoreLock(QObject *parent = nullptr);
    ~StoreLock() override; // lets go

    bool isHeld() const { return lock != nullptr; }
    // One attempt, now; why says who holds it or what is wrong with the folder.
    Attempt tryLock(const QString &directory, QString *why);
    // Tries now, then every quarter second while another process holds the
    // store, for up to a minute; reports through the signals below.
    void acquire(const QString &directory);
    void unlock();

signals:
    // The first attempt of an acquire did not get it (more may follow).
    void missed(const QString &why);
    void acquired();
    // No more attempts: problem says why, in words for the user.
    void abandoned(StoreLock::Attempt attempt, const QString &problem);

private:
    void attempt();

    std::unique_ptr<QLockFile> lock; // set while held
    QString folder;
    QString lockPath;
    int attempts = 0; // of the running acquire
    QElapsedTimer waited;
    QTimer retry;
    QTimer touch; // the holder's sign of life
};
