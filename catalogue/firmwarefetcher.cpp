#include "firmwarefetcher.h"

#include "cataloguedocument.h"
#include "cataloguetrust.h"
#include "firmwarecheck.h"
#include "firmwarestore.h"
#include "safefile.h"
#include "transferpool.h"

#include <QDebug>

namespace {

// Firmware transfers per file name in one session (one program run), so
// that no address, however it fails, is asked again and again.
constexpr int kMaxRequestsPerFile = 4;

} // namespace

FirmwareFetcher::FirmwareFetcher(TransferPool &transfers) : transfers(transfers) {}

void FirmwareFetcher::newRound()
{
    failedUrls.clear();
    failed = 0;
}

void FirmwareFetcher::fetch(const FirmwareStore &store, const VersionEntry &entry, const QString &sha256)
{
    request(store, QUrl(entry.url), entry.filename);
    pendingVersions.append(entry);
    pendingDigests.append(sha256);
}

void FirmwareFetcher::request(const FirmwareStore &store, const QUrl &url, const QString &fileName)
{
    // A transfer to the file that still runs costs no request: the pool says so and starts none.
    if (!transfers.runs(fileName)) {
        int &count = requests[fileName];
        if (count >= kMaxRequestsPerFile) {
            qWarning().noquote() << "Not requesting " + fileName + " again: " + QString::number(count)
                                        + " requests in this session";
            return;
        }
        ++count;
    }
    transfers.start(url, fileName, store.stagingDirectory());
}

bool FirmwareFetcher::finished(const FirmwareStore &store, QObject *download, int status, const QUrl &url,
                               VersionEntry *installed)
{
    TransferPool::Transfer transfer = transfers.transferOf(download);
    if (transfer.fileName.isEmpty()) {
        // Not from one of our transfers: find the entry by its address.
        transfer.normalisedUrl = catalogue::normalisedUrl(url);
        for (int i = pendingVersions.size() - 1; i >= 0 && transfer.fileName.isEmpty(); --i) {
            if (catalogue::normalisedUrl(QUrl(pendingVersions.at(i).url)) == transfer.normalisedUrl)
                transfer.fileName = pendingVersions.at(i).filename;
        }
        if (transfer.fileName.isEmpty())
            return false;
    }
    if (status == 0) {
        // The latest catalogue pass holds the digest that counts.
        int i = pendingVersions.size() - 1;
        while (i >= 0 && pendingVersions.at(i).filename != transfer.fileName)
            --i;
        QString error;
        const Check verdict =
            i >= 0 ? check(pendingDigests.at(i), store.stagedPathOf(transfer.fileName), &error) : Check::Bad;
        if (verdict == Check::Good) {
            // Stored whatever catalogue asked for it; offered only while the current one lists it.
            if (store.install(transfer.fileName, &error)) {
                *installed = pendingVersions.at(i);
                return true;
            }
            qWarning().noquote() << "Firmware file not stored: " + error;
        } else if (i >= 0) {
            qWarning().noquote() << "Firmware file deleted, " + error;
        }
    }
    store.discardStaged(transfer.fileName);
    ++failed;
    fetchFromAnotherAddress(store, transfer.fileName, transfer.normalisedUrl);
    return false;
}

void FirmwareFetcher::fetchFromAnotherAddress(const FirmwareStore &store, const QString &fileName,
                                              const QString &failedUrl)
{
    // A request skipped while this transfer ran (two catalogues naming one
    // file at different addresses) gets its turn now, newest entry first.
    // Addresses compare in normal form: one address spelt two ways is one.
    failedUrls.insert(failedUrl);
    for (int i = pendingVersions.size() - 1; i >= 0; --i) {
        const VersionEntry &entry = pendingVersions.at(i);
        if (entry.filename != fileName || failedUrls.contains(catalogue::normalisedUrl(QUrl(entry.url))))
            continue;
        request(store, QUrl(entry.url), fileName);
        return;
    }
}

FirmwareFetcher::Check FirmwareFetcher::check(const QString &sha256, const QString &file, QString *why)
{
    QByteArray bytes;
    switch (safefile::readFile(file, FirmwareStore::kMaxFirmwareBytes, &bytes, why)) {
    case safefile::Read::Ok:
        break;
    case safefile::Read::TooLarge:
        *why = QStringLiteral("it failed the firmware check: ") + file + QStringLiteral(" - ") + *why;
        return Check::Bad;
    default:
        return Check::Unreadable;
    }
    if (!sha256.isEmpty()) {
        const QString actual = catalogue::sha256Hex(bytes);
        if (actual != sha256) {
            *why = QStringLiteral("its sha256 differs from the catalogue: %1 has %2 catalogue %3").arg(file, actual, sha256);
            return Check::Bad;
        }
    }
    // A truncated transfer or an error page must never reach the instrument.
    const bsl::FirmwareCheck firmware = bsl::checkFirmwareText(bytes);
    if (!firmware.ok) {
        *why = QStringLiteral("it failed the firmware check: ") + file + QStringLiteral(" - ") + firmware.reason;
        return Check::Bad;
    }
    return Check::Good;
}
