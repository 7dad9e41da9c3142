#pragma once

#include <QString>

// One language offered to the window: the locale code taken from the
// translation file's name, the language's own name for itself, and the file.
struct LanguageEntry
{
    QString code;
    QString name;
    QString fileName;
};
