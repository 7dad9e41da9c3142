#pragma once

#include <QString>

// A catalogue version number, "MMM.NNN" with an optional build stamp
// "-YYYY-MM-DD-hhmm" ("001.126-2021-01-22-1628"), or an instrument's version
// text ("1.126"). Major and minor compare as numbers, so 1.10 is newer than
// 1.9 however many leading zeros either carries; the build stamp, fixed
// width, breaks ties.
struct VersionNumber
{
    int major = -1;
    int minor = -1;
    QString build; // the stamp after the minor number, empty when none

    bool isValid() const { return major >= 0; }
    // Negative, zero or positive as this is older than, the same version as or newer than other.
    int compareRelease(const VersionNumber &other) const; // major and minor only
    int compare(const VersionNumber &other) const;        // and then the build stamp

    // Invalid for anything else ("zzz", "1.x", "1.2.3", "-1.0").
    static VersionNumber parse(const QString &text);
};

// Orders number texts newest first as the version list shows them: valid
// numbers by value, any text that does not parse after all of them, by text.
// Negative when a comes before b, zero when they name the same version.
int compareVersionNumbers(const QString &a, const QString &b);
