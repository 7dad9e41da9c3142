#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

struct UpdateRecord;

// nvx7300ctl --json: every run prints one JSON object, whatever the command
// and however it ended: "exitStatus", "error" (null when that is 0) and the
// command's own fields. A name means the same in every command: "version",
// "versionBefore" and "versionAfter" hold what an instrument runs or a
// firmware installs ("1.208") or null, never a state; what a read found
// instead of a version ("Recovery", "Unknown", "Port busy", ...) is "state";
// "versionNumber" is a firmware's full catalogue number
// ("001.208-2022-01-07-1353"); "seconds" is a job's time as the update
// record keeps it, 0 when no job ran.
namespace nvxctl::jsondocument {

QJsonValue textOrNull(const QString &text);

// Puts a version text ("1.208") under key, or null there; with withState
// the text that is not a version goes to "state" (null otherwise).
void putVersion(QJsonObject &object, const QString &key, const QString &text, bool withState);

// "1.208" for the number "001.208-2022-01-07-1353"; empty for what is no number.
QString versionOfNumber(const QString &number);

// "001.208-2022-01-07-1353" for a file named 731-001-208-2022-01-07-1353.txt;
// empty for any other name.
QString numberOfFirmwareFile(const QString &fileName);

// A line of the update record as history shows it: the names it is stored
// with, the version before apart from its state, and the firmware's versionNumber.
QJsonObject fromRecord(const UpdateRecord &record);

// The document, compact and on one line: fields with exitStatus and error
// (error null when exitStatus is 0). With afterStreamed, only what follows
// the "{" and first member that the command has written already.
QString text(QJsonObject fields, int exitStatus, const QString &error, bool afterStreamed = false);

} // namespace nvxctl::jsondocument
