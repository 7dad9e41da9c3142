#pragma once

#include <QString>
#include <QStringList>

namespace nvxctl {

// Exit statuses of nvx7300ctl, listed in --help.
enum Exit {
    kExitOk = 0,
    kExitFailed = 1,             // the run on the instrument failed (or, with --all, at least one did)
    kExitUsage = 2,
    kExitNoInstrument = 3,       // none attached, or nothing at the named port
    kExitPortUnavailable = 4,    // busy or not permitted
    kExitNotIdentified = 5,      // version "Unknown": no password opened it, or not an NVX7300
    kExitUnknownVersion = 6,     // the named version is not available, or none is
    kExitCatalogueUnreachable = 7,
    kExitFileUnreadable = 8,     // the firmware file cannot be read or fails its check
    kExitNeedsRecovery = 9,      // an erased instrument (or left erased by this run): update it again
};

enum class Command { None, List, Version, Versions, Update, Erase, History, Verify };

struct Options
{
    Command command = Command::None;
    bool help = false;
    bool showProgramVersion = false;
    bool verbose = false;
    bool json = false;
    bool offline = false;
    bool all = false;
    bool progressLines = false; // children of --all report progress as "@" lines
    bool allowDowngrade = false; // update may install a version older than the running one
    bool noDowngrade = false;    // update refuses an older version even from --file
    bool reinstall = false;      // update installs even the version the instrument runs already
    // update leaves an instrument that runs the chosen version as it is (up
    // to date): unless a version is named or --reinstall given; the children
    // of update --all get it from their parent as --keep-current.
    bool keepCurrent = false;
    bool yes = false;           // erase, update --restore-backup: without asking
    bool verify = false;        // update: read back what was programmed
    int virtualInstruments = 0;
    int baud = 0;               // update and erase: 9600, 19200 or 38400; 0 when not given (9600)
    QString port;
    QStringList ports;
    QString firmwareVersion;
    QString file;
    QString catalogueUrl;
    QString serialNumber;       // history: only this bridge's updates
    QString restoreBackup;      // update: a backup file to restore as the information memory (service)
    // "SERIAL=PORT" of the virtual instruments the process and its children
    // list: those it starts, and for a child of update --all its parent's.
    QStringList virtualBridges;
};

// Global options may stand before or after the subcommand. Returns false
// with a one-line reason when the command line cannot be used (a mistyped
// command with the one it most likely meant); options then says only
// whether --json was asked for.
bool parseArguments(const QStringList &arguments, Options *options, QString *error);

// The whole help, or that of one command.
QString helpText(Command command = Command::None);

} // namespace nvxctl
