#pragma once

#include "engineresult.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

// The record of every update and service erase: one JSON object a line in
// "updates.jsonl", beside the log file, the trail a quality system asks for
// ("which firmware did instrument X get, and when"). The window and every
// nvx7300ctl process append to the same file, several at once, so each line
// goes out in one write of its own and a reader skips what it cannot use.
struct UpdateRecord
{
    // A job writes a line before its erase and another at its end, with the
    // same job id; the end supersedes the start. A start without an end
    // (a killed run, a power loss) is completed by the next read of that
    // instrument with what it found. Lines without a stage are ends.
    enum class Stage { Ended, Started, Interrupted };

    QDateTime time;          // when the job ended (started, or was found interrupted), UTC
    QString serialNumber;    // the bridge's; empty when none is known
    QString port;
    QString versionBefore;   // the read's version text ("1.10", "Recovery", "Unknown", ...)
    QString versionAfter;    // the firmware's "major.minor"; empty when not known (stored as null)
    QString firmwareFile;    // the file's name, without its folder
    QString firmwareSha256;  // lower-case hex; empty when the file cannot be read
    QString result;          // the window's end text, or the refusal
    int status = -1;         // the job's end status
    double seconds = 0;      // the job, from its checks to its end status
    bool backupRestored = false; // the information memory written back came from the backup file
    int baud = bsl::kStartBaudRate;         // the rate the firmware was programmed at
    QString job;             // the id its lines share; empty in lines written before ids
    Stage stage = Stage::Ended;
    bool verified = false;   // the flash was read back after programming and found as the files say

    QJsonObject toJson() const;
    // False when the object is not such a record (a foreign line).
    static bool fromJson(const QJsonObject &object, UpdateRecord *record);
};

namespace updaterecord {

// Longest line written or read; longer texts are cut before they are written.
constexpr int kMaxLineBytes = 8192;

// "<AppDataLocation>/updates.jsonl": the log file's folder.
QString filePath();

// The line for a record: compact JSON and a line feed, never longer than kMaxLineBytes.
QByteArray lineFor(const UpdateRecord &record);

// Appends the record's line with one write to a file opened for appending,
// never through a symbolic link, creating file and folder when missing. A
// line left without its end by an earlier failed write is closed first, so
// that it spoils no other. False with the reason when the line is not
// written whole; a line written whole whose flush failed says so ("written
// but not confirmed on disk").
bool append(const QString &path, const UpdateRecord &record, QString *error);

// Calls onRecord for each record in the file, oldest first, and onSkipped
// with the line number and the reason for each line that is not one (cut
// short, too long, not JSON, not a record). False with the reason when the
// file cannot be opened; a missing file has no records and is no failure.
bool read(const QString &path, const std::function<void(const UpdateRecord &)> &onRecord,
          const std::function<void(int line, const QString &why)> &onSkipped, QString *error);

// The started lines of this bridge's jobs that no later line ends, oldest first.
QList<UpdateRecord> unfinished(const QString &path, const QString &serialNumber);

// The ids of the jobs that some line ends or completes.
QSet<QString> finishedJobs(const QString &path);

} // namespace updaterecord
