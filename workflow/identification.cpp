#include "identification.h"

namespace workflow {

namespace {

constexpr int kDemoMajor = 1;
constexpr int kDemoMinor = 0;

// The instrument's loader took part in the run that ended with this result.
bool answered(int result)
{
    return result != 0 && result != bsl::kResultHelpOrPort && result != bsl::kResultNoReply
        && result != bsl::kResultNoSync && !bsl::stoppedHere(result);
}

// No password opened it.
Finding unreached(const ReadFacts &facts)
{
    if (facts.failedHere)
        return Finding::FilesUnusable; // nothing the instrument said: the user can only act on this computer
    if (facts.failedAfterOpening)
        return Finding::LineFailed;
    if (answered(facts.lastResult))
        return Finding::NotOpened;
    if (facts.lastResult != bsl::kResultHelpOrPort)
        return Finding::NotConnected;
    switch (facts.port) {
    case portcheck::PortState::Busy:
    case portcheck::PortState::Openable: // it was busy a moment ago
        return Finding::PortBusy;
    case portcheck::PortState::NotPermitted:
        return Finding::PortNotPermitted;
    case portcheck::PortState::Missing:
    case portcheck::PortState::Failed:
        break;
    }
    return Finding::NotConnected;
}

// Opened, but not by a stored password with the marker in place: by the
// password of an erased instrument (an update was cut off after its erase),
// or with the marker gone.
Finding unmarked(const ReadFacts &facts)
{
    // Erased, or part-way written back: the backup restores it when every
    // byte there already is the backup's.
    if (infomemory::fitsBackup(facts.image, facts.backup.bytes))
        return facts.backup.fromOlderCopy ? Finding::RecoveryFromOlderBackup : Finding::RecoveryFromBackup;
    // With the marker, only the standard password gets here: the update failed
    // in its firmware step. Its write-back put the marker last, so all of the
    // information memory is still there.
    if (infomemory::hasMarker(facts.image))
        return Finding::RecoveryFromOwnImage;
    if (facts.backup.latest == infomemory::BackupState::Damaged)
        return Finding::BackupDamaged;
    return Finding::Unidentified;
}

// The version text of a read that found no version number.
const char *versionText(Finding finding)
{
    switch (finding) {
    case Finding::RecoveryFromBackup:
    case Finding::RecoveryFromOwnImage:
        return kVersionRecovery;
    case Finding::RecoveryFromOlderBackup:
        return kVersionRecoveryFromOlderBackup;
    case Finding::BackupDamaged:
        return kVersionBackupDamaged;
    case Finding::PortBusy:
        return kVersionPortBusy;
    case Finding::PortNotPermitted:
        return kVersionPortNotPermitted;
    case Finding::NotConnected:
    case Finding::LineFailed: // what to do is the same: check the cable, read again
        return kVersionNotConnected;
    case Finding::FilesUnusable:
        return kVersionFilesUnusable;
    case Finding::Identified:
    case Finding::Demo:
    case Finding::Unidentified:
    case Finding::NotOpened:
        break;
    }
    return kVersionUnknown;
}

} // namespace

bool needsRecovery(Finding finding)
{
    return finding == Finding::RecoveryFromBackup || finding == Finding::RecoveryFromOlderBackup
        || finding == Finding::RecoveryFromOwnImage;
}

bool asksPort(const ReadFacts &facts)
{
    return !facts.demoPort && !facts.opened && !facts.failedHere && facts.lastResult == bsl::kResultHelpOrPort;
}

Identification identify(const ReadFacts &facts)
{
    Identification id;
    // Opened by a stored password with the marker in place: the image is this
    // instrument's own, and the backup that an update needs is made from it.
    const bool marked = facts.opened && !facts.byStandardPassword && infomemory::hasMarker(facts.image);
    if (marked) {
        id.backUpImage = true;
        id.restore = Restore::Image;
    }
    if (facts.demoPort)
        id.finding = Finding::Demo;
    else if (marked)
        id.finding = Finding::Identified;
    else if (facts.opened)
        id.finding = unmarked(facts);
    else
        id.finding = unreached(facts);

    const bool recovery = id.finding == Finding::RecoveryFromBackup || id.finding == Finding::RecoveryFromOlderBackup
        || id.finding == Finding::RecoveryFromOwnImage;
    if (id.finding == Finding::Identified) {
        id.major = uchar(facts.image[infomemory::kMajorOffset]);
        id.minor = uchar(facts.image[infomemory::kMinorOffset]);
    } else if (id.finding == Finding::Demo) {
        id.major = kDemoMajor;
        id.minor = kDemoMinor;
    } else if (recovery) {
        id.restore = id.finding == Finding::RecoveryFromOwnImage ? Restore::Image : Restore::Backup;
    }
    if (id.finding == Finding::Identified || id.finding == Finding::Demo)
        id.version = QString::number(id.major) + QLatin1Char('.') + QString::number(id.minor);
    else
        id.version = QLatin1String(versionText(id.finding));
    id.mayUpdate = id.finding == Finding::Identified || recovery;
    id.status = id.mayUpdate || id.finding == Finding::Demo ? kStatusReadDone : kStatusNotIdentified;

    // The erase takes the information memory with it: it goes ahead once that
    // is backed up, or once a read has shown there is no NVX7300's to keep.
    if (!facts.opened && (!answered(facts.lastResult) || facts.failedAfterOpening))
        id.erase = EraseRule::Refused;
    else
        id.erase = id.restore == Restore::Nothing ? EraseRule::NothingToKeep : EraseRule::AfterBackup;
    return id;
}

} // namespace workflow
