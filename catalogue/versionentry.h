#pragma once

#include <QString>

// One firmware version as the catalogue lists it.
struct VersionEntry
{
    QString filename;
    QString number; // sorts versions as text: major, minor, then release time
    QString date;
    QString description;
    QString path; // firmware directory + "/" + filename
    QString url;
};
