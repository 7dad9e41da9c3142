#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class SigningKey;

// Turns a folder of plain firmware files into what the catalogue server
// publishes: scrambled files, "731Versions.json" with a "sha256" for each,
// and its signature "731Versions.json.sig".
namespace publish {

// One firmware file named by the catalogue's rule
// "731-MMM-NNN-YYYY-MM-DD-hhmm.txt".
struct FirmwareName
{
    QString filename;
    QString number;      // "MMM.NNN-YYYY-MM-DD-hhmm"
    QString date;        // "YYYY-MM-DDThh:mm:00.000Z"
    QString description; // "version <major>.<NNN>"
};

// Parses a file name by the rule; false when it does not follow it (wrong
// digit counts, a date or time that does not exist, another extension).
bool parseFirmwareName(const QString &filename, FirmwareName *out);

// The password file's name; copied unchanged when the input has it.
QString passwordFileName();

struct Publication
{
    QStringList published; // file names of the firmware, newest first
    bool passwordCopied = false;
};

// Publishes inputDir into outputDir with urls baseUrl + "/" + filename.
// Every input file other than the password file must be a plain firmware
// file named by the rule that passes the firmware check, and the password
// file must hold password records; nothing is written unless all are. The
// catalogue carries its publication time (publishedAt, now when invalid) and
// the password file's "passwordSha256" inside the signed bytes. False with a
// reason on failure.
bool publishFolder(const QString &inputDir, const QString &outputDir, const QString &baseUrl,
                   const SigningKey &key, Publication *result, QString *error,
                   const QDateTime &publishedAt = QDateTime());

// Reads a publication back with the program's own catalogue code: serves
// outputDir for baseUrl on 127.0.0.1 (as a proxy, so the catalogue's urls are
// used unchanged), refreshes a catalogue that trusts publicKey into a
// scratch folder, and checks that exactly the expected versions are listed,
// newest first, each with the published bytes. False with a reason.
bool readBack(const QString &outputDir, const QString &baseUrl, const QByteArray &publicKey,
              const QStringList &expectedFiles, QString *error);

} // namespace publish
