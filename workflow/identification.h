#pragma once

#include "infomemory.h"
#include "portcheck.h"
#include "status.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

// What a version read makes of what it found: which instrument this is,
// whether it is identified, whether the next update has to restore it, and
// whether an update or a service erase may go ahead. An erase destroys the
// information memory, so this is where the way back is decided; it does no
// I/O, so that a table can cover every case. The worker gathers the facts
// (the read attempts, the backup, the port) and acts on the answer.
namespace workflow {

struct ReadFacts
{
    bool demoPort = false;           // one of the demo mode's fictitious instruments
    bool opened = false;             // a password opened the loader and the read went through
    bool byStandardPassword = false; // ...the password of an erased instrument, after every stored one failed
    QByteArray image;                // 0x1000-0x10FF as read; empty unless it was one complete image
    infomemory::BackupCopy backup;   // the backup kept for this instrument's bridge
    int lastResult = 0;              // engine result of the last attempt; 0 when none was made
    bool failedHere = false;         // an attempt stopped on this computer (its own files, a path)
    bool failedAfterOpening = false; // a password opened it, then the read failed: the line, not the password
    portcheck::PortState port = portcheck::PortState::Failed; // why the port did not open; see asksPort
};

enum class Finding {
    Identified,              // an NVX7300 with its information memory whole
    Demo,                    // a fictitious instrument of the demo mode
    RecoveryFromBackup,      // erased, or part-way written back, and its backup fits
    RecoveryFromOlderBackup, // the same, from the copy before the latest backup, which failed its check
    RecoveryFromOwnImage,    // an update failed in its firmware step: the information memory is whole
    BackupDamaged,           // it lost its information memory and its backup failed its check
    Unidentified,            // it opened, but neither it nor a backup says which NVX7300 it is
    NotOpened,               // it answered, but no password opened it
    PortBusy,
    PortNotPermitted,
    NotConnected,            // no answer, unplugged, or no attempt could be made
    LineFailed,              // a password opened it, then the line failed the read
    FilesUnusable,           // an attempt stopped on this computer
};

// What an update writes back right after its erase.
enum class Restore {
    Nothing,
    Image,  // the information memory as this read found it
    Backup, // the backup's
};

// Whether a service erase may go ahead.
enum class EraseRule {
    Refused,       // no read reached the instrument, so nothing is known of what it holds
    AfterBackup,   // once the information memory to restore is backed up
    NothingToKeep, // no NVX7300 information memory was found to keep
};

struct Identification
{
    Finding finding = Finding::NotConnected;
    QString version; // "major.minor", "1.0" for a demo instrument, or one of the version texts
    int major = 0;
    int minor = 0;
    int status = kStatusNotIdentified; // the worker keeps it; never reported
    Restore restore = Restore::Nothing;
    bool backUpImage = false;   // the image read becomes the backup of this instrument
    bool mayUpdate = false;     // an update may start; its checks before the erase still follow
    EraseRule erase = EraseRule::Refused;
};

// True for what the next update restores: an instrument left erased.
bool needsRecovery(Finding finding);

// True when the answer depends on why the engine could not open the port:
// the worker then asks the port (portcheck::diagnose) and sets facts.port.
bool asksPort(const ReadFacts &facts);

Identification identify(const ReadFacts &facts);

} // namespace workflow

Q_DECLARE_METATYPE(workflow::Finding)
