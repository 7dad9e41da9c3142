#pragma once

#include "versionentry.h"

#include <QList>
#include <QUrl>

namespace nvxctl {

struct CatalogueListing
{
    QList<VersionEntry> versions; // present in the firmware folder, newest first
    bool catalogueReached = false; // the fresh catalogue was downloaded
};

// Refreshes the firmware store as the window does and waits, at most
// timeoutMs, until no download is running. Offline, installs the built-in
// files and lists what is stored, without any request.
CatalogueListing refreshCatalogue(const QUrl &serverBase, bool offline, int timeoutMs);

// "1.208" (as in the description) or a full number such as "001.208-2022-01-07-1353".
// Null entry (empty path) when absent; the newest build wins for the short form.
VersionEntry findVersion(const QList<VersionEntry> &versions, const QString &wanted);

} // namespace nvxctl
