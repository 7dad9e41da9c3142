#pragma once

#include <QString>

// Every path the toolkit builds starts from one of the folders below, and each
// is absolute: installing the built-in files moves the working directory into
// the firmware folder, after which a relative path would name another file.
namespace workflow::paths {

// Once at start, before anything moves the working directory: makes HOME,
// the per-user data location and the temporary folder absolute where the
// environment gives them relative. Empty when all is well, else why the
// toolkit has no folder for its files.
QString settle();

// A file in the per-user data location ("firmware/PATCH.TXT").
QString inDataFolder(const QString &relative);

// The folder for the jobs' private files.
QString temporaryFolder();

} // namespace workflow::paths
