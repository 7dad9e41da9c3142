#pragma once

#include <QString>

// One firmware version as the catalogue lists it.
struct VersionEntry
{
    QString filename;
    QString number; // "MMM.NNN-YYYY-MM-DD-hhmm", ordered by versionnumber.h
    QString date;
    QString description;
    QString path; // firmware directory + "/" + filename
    QString url;
};
