#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// Plain TI-TXT files and catalogues for the virtual instrument: the demo
// server's content and the sources of the built-in resources.
namespace nvx::demo {

// One version named by the catalogue's rule.
struct DemoVersion
{
    int major = 1;
    int minor = 0;
    QDateTime released; // UTC, whole minutes

    // "731-MMM-NNN-YYYY-MM-DD-hhmm.txt"
    QString filename() const;
    // "MMM.NNN-YYYY-MM-DD-hhmm": compares as text like the versions do
    QString number() const;
    // "YYYY-MM-DDThh:mm:00.000Z"
    QString date() const;
    // "version <major>.<NNN>"
    QString description() const;
};

// The default instrument's interrupt vectors, which are also its password.
QByteArray defaultVectors();

// A small MSP430 application at 0x1100, the version record at 0xFFDC/0xFFDD
// and the default vectors at 0xFFE0. CR LF line ends, "q" at the end.
QByteArray firmwareImage(int major, int minor);

// Records of four lines ("@FFE0", two lines of 16 bytes, "q"): the default
// vectors first, then a table the default instrument refuses.
QByteArray passwordFile();

// The catalogue JSON; each url is baseUrl + "/" + filename.
QByteArray catalogueJson(const QList<DemoVersion> &versions, const QString &baseUrl,
                         const QString &versionsFileLocation, const QString &comment);

// The password file's name, "731-0-00-2019-01-01-1200.txt".
QString passwordFileName();

// Writes three firmware images, the password file and "731Versions.json"
// into outDir + "/731", with urls on baseUrl + "/731". False with a reason on failure.
bool writeDemoCatalogue(const QString &outDir, const QString &baseUrl, QString *error);

// The versions writeDemoCatalogue publishes.
QList<DemoVersion> demoVersions();

// Parses a number "MMM.NNN-YYYY-MM-DD-hhmm"; an invalid release time on failure.
DemoVersion versionFromNumber(const QString &number);

// Writes the plain sources of the built-in resources into outDir: the
// catalogue of the 21 published versions (urls on the archive host), the
// password file and the built-in firmware image 1.10.
bool writeBuiltInSources(const QString &outDir, QString *error);

} // namespace nvx::demo
