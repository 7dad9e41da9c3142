#pragma once

#include "safefile.h"

#include <QByteArray>
#include <QString>

// The firmware folder and what it may hold. The store alone writes, replaces
// and deletes files there, and it names every file it owns, so that the
// catalogue (which comes from the network) can name nothing but firmware:
//
// | kind                | names                                                 |
// |---------------------|-------------------------------------------------------|
// | firmware            | "731-" MMM "-" NNN "-" YYYY-MM-DD "-" hhmm ".txt"     |
// | catalogue           | "731Versions.json", and its signature ".sig"          |
// | kept catalogue      | "731Versions.kept": the newest good catalogue and its |
// |                     | signature in one file, what a reader falls back on    |
// | publication mark    | "731Versions.published": the newest publication time  |
// |                     | ever accepted, kept whatever becomes of the catalogue |
// | password file       | "731-0-00-2019-01-01-1200.txt"                        |
// | memory image        | "731-0-01-2019-01-01-1200.txt"                        |
// | information backups | "731-info-" + bridge serial number + ".txt"           |
// | lock files          | any name ending in ".lock"                            |
// | temporary files     | names starting with "." or ending in ".new", ".old", ".tmp" |
// | staging folder      | "incoming": downloads land there until checked, in a  |
// |                     | folder of each process's own ("p" pid "-" random)     |
// | store lock          | "731store.lock" (a lock file, as above): held by the  |
// |                     | one process that fetches, installs and deletes        |
//
// Anything else is foreign: never written or deleted here. Only "no such
// file" means a file is missing: a file that cannot be examined or read is
// left as it is.
class FirmwareStore
{
public:
    enum class Kind {
        Firmware,
        Catalogue,
        CatalogueSignature,
        KeptCatalogue,
        PublicationMark,
        PasswordFile,
        MemoryImage,
        InformationBackup,
        Lock,
        Temporary,
        Staging,
        Foreign,
    };

    static const QString kCatalogueName;
    static const QString kSignatureName;
    static const QString kKeptCatalogueName;
    static const QString kPublicationMarkName;
    static const QString kLockName;
    static const QString kPasswordName;
    static const QString kMemoryImageName;
    static const QString kStagingFolder;

    // Size caps per kind, generous for what each file really is.
    static constexpr qint64 kMaxCatalogueBytes = 2 * 1024 * 1024; // the built-in one is 5 KiB
    static constexpr qint64 kMaxSignatureBytes = 4 * 1024;        // 89 bytes
    static constexpr qint64 kMaxPasswordBytes = 256 * 1024;       // a few records of 100 bytes
    static constexpr qint64 kMaxFirmwareBytes = 4 * 1024 * 1024;  // the firmware check refuses more than 1 MiB anyway

    explicit FirmwareStore(const QString &directory);

    // Fixes the per-user data location, which holds the store, for the rest
    // of the process: the store moves the working directory into itself, so
    // a relative location (a relative XDG_DATA_HOME) is made absolute now.
    // Empty when the location is usable, otherwise what is wrong.
    static QString settleDataLocation();

    QString directory() const { return folder; }
    QString pathOf(const QString &name) const;
    // This process's own staging folder below "incoming".
    QString stagingDirectory() const;
    QString stagedPathOf(const QString &name) const;

    static Kind classify(const QString &name);
    // "information-memory backup", "password file", ...
    static QString describe(Kind kind);
    // A firmware name by the catalogue's rule: the only names an entry may give.
    static bool isFirmwareName(const QString &name);
    // The information-memory backup of the instrument behind a USB bridge;
    // empty without a serial number. Anything but letters, digits, "_" and
    // "-" in the serial number becomes "_": it must not reach a path.
    static QString backupName(const QString &bridgeSerialNumber);
    // The generation a backup had before it was last replaced.
    static QString previousGeneration(const QString &backupName);
    // The catalogue number a firmware file's name gives ("731-001-126-...":
    // "001.126"); empty when the name does not follow the rule.
    static QString versionOfFirmwareFile(const QString &path);

    // Creates the folder and this process's staging folder, real folders
    // both (a link found there is removed first), and removes the staging
    // folders other processes left: call it holding the store lock. False
    // when a folder cannot be made.
    bool prepare() const;
    // Removes this process's staging folder with what is left in it.
    void removeStaging() const;

    // A regular file under name (a link there counts as absent).
    bool holds(const QString &name) const;
    // What is under name; Failed (with the reason) when it cannot be examined.
    safefile::Lookup lookUp(const QString &name, QString *error = nullptr) const;
    bool read(const QString &name, qint64 maxBytes, QByteArray *bytes, QString *error = nullptr) const;
    bool readStaged(const QString &name, qint64 maxBytes, QByteArray *bytes, QString *error = nullptr) const;

    // Writes one of the store's own files, or firmware, durably (safefile::writeFile).
    bool write(const QString &name, const QByteArray &bytes, QString *error = nullptr) const;
    // The same, only where nothing is under name (a built-in copy): what
    // another process installed meanwhile stays. True when name is taken either way.
    bool create(const QString &name, const QByteArray &bytes, QString *error = nullptr) const;
    // Writes an information-memory backup (either generation) durably and
    // reads it back: it may be all that is left of a calibration. Creates
    // the folder when needed; refuses every other kind of name.
    bool writeBackup(const QString &name, const QByteArray &bytes, QString *error) const;
    // Moves a checked download from the staging folder into place.
    bool install(const QString &name, QString *error = nullptr) const;
    // Deletes a firmware file that failed its checks; any other kind is refused.
    bool removeFirmware(const QString &name) const;
    // Deletes a download in the staging folder (with its ".new" and ".old").
    void discardStaged(const QString &name) const;

    // The kept catalogue's content: the signature's line (empty without a
    // key), then the catalogue's exact bytes.
    static QByteArray keptCatalogue(const QByteArray &catalogue, const QByteArray &signature);
    static bool splitKeptCatalogue(const QByteArray &kept, QByteArray *catalogue, QByteArray *signature);

private:
    static bool isPlainName(const QString &name);
    static bool isWritableKind(Kind kind);

    QString folder;
};
