#include "updaterecord.h"

#include "paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>

#include <cerrno>
#include <cmath>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char kFileName[] = "updates.jsonl";

// Longest text kept of each field. Even if every character had to be
// escaped (six bytes each), a line stays below kMaxLineBytes.
constexpr int kMaxResult = 600;
constexpr int kMaxPath = 200;
constexpr int kMaxShort = 64;

const char kTime[] = "time";
const char kSerialNumber[] = "serialNumber";
const char kPort[] = "port";
const char kVersionBefore[] = "versionBefore";
const char kVersionAfter[] = "versionAfter";
const char kFirmwareFile[] = "firmwareFile";
const char kFirmwareSha256[] = "firmwareSha256";
const char kResult[] = "result";
const char kStatus[] = "status";
const char kSeconds[] = "seconds";
const char kBackupRestored[] = "backupRestored";
const char kBaud[] = "baud";
const char kJob[] = "job";
const char kStage[] = "stage";
const char kStageStarted[] = "started";
const char kStageInterrupted[] = "interrupted";
const char kStageEnded[] = "ended";
const char kVerified[] = "verified";

QJsonValue textOrNull(const QString &text, int maxLength)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text.left(maxLength));
}

// A text field may be missing or null; anything else that is not a text makes it foreign.
bool takeText(const QJsonObject &object, const char *key, QString *text)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        text->clear();
        return true;
    }
    if (!value.isString())
        return false;
    *text = value.toString();
    return true;
}

#ifdef Q_OS_WIN
// Appending handles (FILE_APPEND_DATA without FILE_WRITE_DATA) write at the end atomically.
bool appendLine(const QString &path, QByteArray line, QString *error)
{
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    HANDLE file = CreateFileW(name.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = QStringLiteral("cannot open %1 (error %2)").arg(path).arg(GetLastError());
        return false;
    }
    bool ok = false;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *error = QStringLiteral("%1 is a link; the record is written only to a file of its own").arg(path);
    } else if (!GetFileSizeEx(file, &size)) {
        *error = QStringLiteral("cannot read the size of %1 (error %2)").arg(path).arg(GetLastError());
    } else {
        if (size.QuadPart > 0) {
            char last = '\n';
            DWORD got = 0;
            OVERLAPPED at{};
            at.Offset = DWORD((size.QuadPart - 1) & 0xFFFFFFFF);
            at.OffsetHigh = DWORD((size.QuadPart - 1) >> 32);
            if (ReadFile(file, &last, 1, &got, &at) && got == 1 && last != '\n')
                line.prepend('\n');
        }
        DWORD written = 0;
        ok = WriteFile(file, line.constData(), DWORD(line.size()), &written, nullptr) && written == DWORD(line.size())
            && FlushFileBuffers(file);
        if (!ok)
            *error = QStringLiteral("cannot append to %1 (error %2)").arg(path).arg(GetLastError());
    }
    CloseHandle(file);
    return ok;
}
#else
bool appendLine(const QString &path, QByteArray line, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    // Non-blocking only so that a FIFO put there cannot hold the job up.
    const int fd = ::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        const int cause = errno;
        *error = cause == ELOOP ? QStringLiteral("%1 is a link; the record is written only to a file of its own").arg(path)
                                : QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(cause)));
        return false;
    }
    struct stat info {};
    bool ok = false;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = QStringLiteral("%1 is not a plain file").arg(path);
    } else {
        char last = '\n';
        if (info.st_size > 0 && ::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n')
            line.prepend('\n');
        ssize_t written;
        do {
            written = ::write(fd, line.constData(), size_t(line.size()));
        } while (written < 0 && errno == EINTR);
        const int cause = errno;
        if (written == line.size()) {
            ok = ::fdatasync(fd) == 0;
            if (!ok)
                *error = QStringLiteral("the line was written to %1 but not confirmed on disk (flush failed: %2)")
                             .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        } else if (written < 0) {
            *error = QStringLiteral("cannot append to %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(cause)));
        } else {
            *error = QStringLiteral("only %1 of %2 bytes appended to %3").arg(written).arg(line.size()).arg(path);
        }
    }
    ::close(fd);
    return ok;
}
#endif

} // namespace

QJsonObject UpdateRecord::toJson() const
{
    QJsonObject o;
    o.insert(QLatin1String(kTime), time.toUTC().toString(Qt::ISODate));
    o.insert(QLatin1String(kSerialNumber), textOrNull(serialNumber, kMaxShort));
    o.insert(QLatin1String(kPort), port.left(kMaxPath));
    o.insert(QLatin1String(kVersionBefore), textOrNull(versionBefore, kMaxShort));
    o.insert(QLatin1String(kVersionAfter), textOrNull(versionAfter, kMaxShort));
    o.insert(QLatin1String(kFirmwareFile), textOrNull(firmwareFile, kMaxPath));
    o.insert(QLatin1String(kFirmwareSha256), textOrNull(firmwareSha256, kMaxShort));
    o.insert(QLatin1String(kResult), result.left(kMaxResult));
    o.insert(QLatin1String(kStatus), status);
    o.insert(QLatin1String(kSeconds), std::round(seconds * 10) / 10);
    o.insert(QLatin1String(kBackupRestored), backupRestored);
    o.insert(QLatin1String(kBaud), baud);
    if (!job.isEmpty()) {
        o.insert(QLatin1String(kJob), job.left(kMaxShort));
        o.insert(QLatin1String(kStage), QLatin1String(stage == Stage::Started       ? kStageStarted
                                                      : stage == Stage::Interrupted ? kStageInterrupted
                                                                                    : kStageEnded));
    }
    o.insert(QLatin1String(kVerified), verified);
    return o;
}

bool UpdateRecord::fromJson(const QJsonObject &o, UpdateRecord *record)
{
    UpdateRecord r;
    QString time;
    if (!takeText(o, kTime, &time) || !takeText(o, kSerialNumber, &r.serialNumber) || !takeText(o, kPort, &r.port)
        || !takeText(o, kVersionBefore, &r.versionBefore) || !takeText(o, kVersionAfter, &r.versionAfter)
        || !takeText(o, kFirmwareFile, &r.firmwareFile) || !takeText(o, kFirmwareSha256, &r.firmwareSha256)
        || !takeText(o, kResult, &r.result) || !takeText(o, kJob, &r.job))
        return false;
    QString stage;
    if (!takeText(o, kStage, &stage))
        return false;
    if (stage == QLatin1String(kStageStarted))
        r.stage = Stage::Started;
    else if (stage == QLatin1String(kStageInterrupted))
        r.stage = Stage::Interrupted;
    else if (!stage.isEmpty() && stage != QLatin1String(kStageEnded))
        return false;
    r.time = QDateTime::fromString(time, Qt::ISODate);
    // Time, port and result are what every record has.
    if (!r.time.isValid() || r.port.isEmpty() || r.result.isEmpty())
        return false;
    r.time = r.time.toUTC();
    const QJsonValue status = o.value(QLatin1String(kStatus));
    const QJsonValue seconds = o.value(QLatin1String(kSeconds));
    const QJsonValue restored = o.value(QLatin1String(kBackupRestored));
    const QJsonValue baud = o.value(QLatin1String(kBaud));
    const QJsonValue verified = o.value(QLatin1String(kVerified)); // missing in lines before it was kept
    if ((!status.isUndefined() && !status.isDouble()) || (!seconds.isUndefined() && !seconds.isDouble())
        || (!restored.isUndefined() && !restored.isBool()) || (!baud.isUndefined() && !baud.isDouble())
        || (!verified.isUndefined() && !verified.isBool()))
        return false;
    r.status = status.toInt(-1);
    r.seconds = seconds.toDouble(0);
    r.backupRestored = restored.toBool(false);
    r.baud = baud.toInt(0);
    r.verified = verified.toBool(false);
    *record = r;
    return true;
}

namespace updaterecord {

QString filePath()
{
    return workflow::paths::inDataFolder(QLatin1String(kFileName));
}

QByteArray lineFor(const UpdateRecord &record)
{
    return QJsonDocument(record.toJson()).toJson(QJsonDocument::Compact) + '\n';
}

bool append(const QString &path, const UpdateRecord &record, QString *error)
{
    const QByteArray line = lineFor(record);
    if (line.size() > kMaxLineBytes) { // cannot happen with the texts cut as they are
        *error = QStringLiteral("the record is longer than %1 bytes").arg(kMaxLineBytes);
        return false;
    }
    const QString folder = QFileInfo(path).path();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    return appendLine(path, line, error);
}

bool read(const QString &path, const std::function<void(const UpdateRecord &)> &onRecord,
          const std::function<void(int, const QString &)> &onSkipped, QString *error)
{
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        QByteArray line = file.readLine(kMaxLineBytes + 1);
        if (!line.endsWith('\n') && !file.atEnd()) {
            // Too long for a record: skip to the end of that line.
            while (!file.atEnd() && !file.readLine(kMaxLineBytes + 1).endsWith('\n')) {
            }
            onSkipped(number, QStringLiteral("longer than %1 bytes").arg(kMaxLineBytes));
            continue;
        }
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        QJsonParseError parseError{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
        UpdateRecord record;
        if (parseError.error != QJsonParseError::NoError)
            onSkipped(number, QStringLiteral("not JSON (cut short?): %1").arg(parseError.errorString()));
        else if (!document.isObject() || !UpdateRecord::fromJson(document.object(), &record))
            onSkipped(number, QStringLiteral("not an update record"));
        else
            onRecord(record);
    }
    return true;
}

QSet<QString> finishedJobs(const QString &path)
{
    QSet<QString> finished;
    QString error;
    read(
        path,
        [&](const UpdateRecord &r) {
            if (!r.job.isEmpty() && r.stage != UpdateRecord::Stage::Started)
                finished.insert(r.job);
        },
        [](int, const QString &) {}, &error);
    return finished;
}

QList<UpdateRecord> unfinished(const QString &path, const QString &serialNumber)
{
    QList<UpdateRecord> started;
    QSet<QString> finished;
    QString error;
    read(
        path,
        [&](const UpdateRecord &r) {
            if (r.job.isEmpty() || r.serialNumber != serialNumber)
                return;
            if (r.stage == UpdateRecord::Stage::Started)
                started.append(r);
            else
                finished.insert(r.job);
        },
        [](int, const QString &) {}, &error);
    QList<UpdateRecord> open;
    for (const UpdateRecord &r : qAsConst(started)) {
        if (!finished.contains(r.job))
            open.append(r);
    }
    return open;
}

} // namespace updaterecord
