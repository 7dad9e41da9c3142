#pragma once

#include "firmwarestore.h"
#include "storelock.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

class FirmwareFetcher;
class OfferedVersions;
class TransferPool;

// One refresh of the firmware store from the catalogue server, as a declared
// sequence of stages (advance() holds every transition):
//
//   WaitingForLock -> Catalogue -> [Signature] -> Password -> Firmware -> Settled
//
// Signature only with a key and a catalogue fetched. Without a key the
// password file is fetched alongside the catalogue; with one it waits for the
// checked catalogue, which gives its digest. Firmware transfers start with
// every listing pass (the stored catalogue at once, the new one when it is
// decided), and the refresh settles once none runs. A refresh that does not
// get the store's lock lists what is stored and goes from WaitingForLock to
// Firmware with nothing to fetch.
class CatalogueRefresh : public QObject
{
    Q_OBJECT

public:
    enum class Stage {
        WaitingForLock, // for the store's lock; what is stored is listed meanwhile
        Catalogue,      // the server's catalogue is fetched (and without a key checked)
        Signature,      // its signature is fetched and the pair checked
        Password,       // the password file is fetched and checked
        Firmware,       // the firmware transfers run out
        Settled,        // nothing runs; outcome() says what became of the server's catalogue
    };
    Q_ENUM(Stage)

    // What became of the server's catalogue.
    enum class Outcome {
        NotAsked,      // no refresh with the network yet
        Pending,       // still being fetched or checked
        Installed,     // fetched, checked and now the local catalogue
        Unreachable,   // not fetched: the local catalogue stays in use
        Refused,       // fetched but not a catalogue, not signed, older than ours or from the future
        StoreBusy,     // not fetched: another process kept the store's lock too long
        StoreUnusable, // not fetched: the firmware folder cannot be written
    };
    Q_ENUM(Outcome)

    struct Settings
    {
        QUrl serverBase;   // the folder that holds the catalogue
        QByteArray key;    // the raw key catalogues must be signed with; empty: none
        QString directory; // the store
        FirmwareStore store() const { return FirmwareStore(directory); }
        bool keyed() const { return !key.isEmpty(); }
        QString fileUrl(const QString &fileName) const;
    };

    CatalogueRefresh(const Settings &settings, TransferPool &transfers, FirmwareFetcher &fetcher,
                     OfferedVersions &offered, QObject *parent = nullptr);

    void start();
    Stage stage() const { return current; }
    bool isRunning() const { return current != Stage::Settled; }
    bool holdsStore() const { return lock.isHeld(); }
    Outcome outcome() const { return result; }
    // Why the server's catalogue is not in use; empty when there is nothing to say.
    QString problem() const { return why; }

    // Lists the catalogue in use again, fetching what is missing as the
    // store's holder: for a refresh asked for while this one runs.
    void listAgain();
    // The ends of this refresh's transfers.
    void catalogueEnded(int status);
    void signatureEnded(int status);
    void passwordEnded(int status);

signals:
    void stageEntered(CatalogueRefresh::Stage stage);
    void settled();

private:
    enum class Event {
        LockHeld,
        LockAbandoned,
        CatalogueFetched, // with a key: its signature is next
        CatalogueDone,    // installed, refused, unreachable, or never asked
        PasswordDone,     // ended, or not asked
        Idle,             // no transfer runs
    };

    void advance(Event event);
    void enter(Stage next);
    void fetchCatalogue();
    void fetchSignature();
    void fetchPassword();
    void settleWhenIdle();
    void giveUp(StoreLock::Attempt attempt, const QString &problem);
    void checkPlainCatalogue();
    // The server's catalogue is decided: refusal says why it is not used
    // (empty: installed or unreachable); the catalogue in use is listed again.
    void decide(const QString &refusal);
    void listAndFetch();
    void checkPasswordFile();

    const Settings settings;
    TransferPool &transfers;
    FirmwareFetcher &fetcher;
    OfferedVersions &offered;
    StoreLock lock;
    Stage current = Stage::WaitingForLock;
    Outcome result = Outcome::Pending;
    QString why;
};
