#pragma once

#include "versionentry.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

class FirmwareStore;
class QObject;
class TransferPool;

// Fetches the firmware files that the catalogues list and the store lacks.
// A file is requested at most kMaxRequestsPerFile times per session (one run
// of the program), however its addresses fail; one that fails at one address
// gets its turn at another address a catalogue gave for it. A download is
// installed only after its digest (when the entry gives one) and the firmware
// check; otherwise it is discarded and the file in use stays.
class FirmwareFetcher
{
public:
    enum class Check { Good, Bad, Unreadable };

    explicit FirmwareFetcher(TransferPool &transfers);

    // A new refresh: every address gets another chance, and failures()
    // counts from nought.
    void newRound();
    // Firmware transfers of this round that failed or were refused.
    int failures() const { return failed; }

    // Asks for entry's file, unless a transfer to it runs or its requests
    // are used up; entry is pending either way. sha256: the catalogue's
    // lower-case digest, empty when it gives none.
    void fetch(const FirmwareStore &store, const VersionEntry &entry, const QString &sha256);
    // A firmware transfer has ended: download is the transfer (anything
    // else: its entry is found by url). True when the file was installed;
    // *installed is then its entry, to be offered if the catalogue lists it.
    bool finished(const FirmwareStore &store, QObject *download, int status, const QUrl &url,
                  VersionEntry *installed);

    // Digest and firmware checks of a file; why: what failed. Unreadable is
    // no verdict on the file: whatever it holds, it stays.
    static Check check(const QString &sha256, const QString &file, QString *why);

private:
    void request(const FirmwareStore &store, const QUrl &url, const QString &fileName);
    void fetchFromAnotherAddress(const FirmwareStore &store, const QString &fileName, const QString &failedUrl);

    TransferPool &transfers;
    QList<VersionEntry> pendingVersions; // entries whose file was asked for; only grows
    QStringList pendingDigests;          // the "sha256" of each pending version, empty when none
    QSet<QString> failedUrls;            // normalised addresses that failed during this round
    QHash<QString, int> requests;        // per file name, for the whole session
    int failed = 0;
};
