#pragma once

#include "versionentry.h"

#include <QList>
#include <QUrl>

namespace nvxctl {

struct CatalogueListing
{
    QList<VersionEntry> versions; // present in the firmware folder, newest first
    bool catalogueReached = false; // the fresh catalogue was downloaded, checked and installed
    bool catalogueRefused = false; // it was downloaded but refused (not a catalogue, not signed, older)
    bool storeBusy = false;        // not asked: another process kept the firmware folder busy
    QString problem;               // why the fresh catalogue is not in use, when there is a reason to give
    QString storeProblem;          // the firmware folder cannot be written: nothing could be refreshed
};

// Refreshes the firmware store as the window does and waits, at most
// timeoutMs, until the refresh has settled. Offline, installs the built-in
// files and lists what is stored, without any request.
CatalogueListing refreshCatalogue(const QUrl &serverBase, bool offline, int timeoutMs);

// Why installing firmwareNumber ("001.126-...", "1.126") on an instrument
// running runningVersion ("1.208") would be a downgrade; empty when it is not
// one, or when either version is not a number (an erased instrument). With
// advise, it says how to install it all the same.
QString downgradeRefusal(const QString &runningVersion, const QString &firmwareNumber, bool advise);

// The instrument runs firmwareNumber's release already (major and minor alike).
bool runsRelease(const QString &runningVersion, const QString &firmwareNumber);

// "1.208" (as in the description) or a full number such as "001.208-2022-01-07-1353".
// Null entry (empty path) when absent; the newest build wins for the short form.
VersionEntry findVersion(const QList<VersionEntry> &versions, const QString &wanted);

} // namespace nvxctl
