// nvx7300ctl: the toolkit's updates without the window, for service benches,
// production lines and scripts. Same controller, discovery and catalogue as
// the window; see --help. The entry point is tools/nvx7300ctl/nvx7300ctl.cpp.

#include "cataloguesession.h"
#include "cataloguetrust.h"
#include "comportcomboboxmanagement.h"
#include "comportmodel.h"
#include "controller.h"
#include "ctloptions.h"
#include "ctlprogram.h"
#include "devicesources.h"
#include "firmwarecheck.h"
#include "firmwarestore.h"
#include "fleetupdate.h"
#include "infomemory.h"
#include "instrumentsession.h"
#include "jsondocument.h"
#include "paths.h"
#include "portcheck.h"
#include "safefile.h"
#include "signalhold.h"
#include "status.h"
#include "terminal.h"
#include "updaterecord.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"
#include "virtualinstruments.h"
#include "worker.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace nvxctl;
using jsondocument::putVersion;
using jsondocument::textOrNull;

namespace {

constexpr int kReadTimeoutMs = 120000;      // all password attempts of one read
constexpr int kRunTimeoutMs = 30 * 60000;   // a whole update at the slowest line rate, with margin
constexpr int kSettleTimeoutMs = 120000;    // catalogue and firmware downloads
constexpr int kBarWidth = 40;

const char kResultUpToDate[] = "Up to date"; // update's result when nothing needed installing

bool g_verbose = false;

// What update and erase say about one instrument: with --json, and to the
// update --all that started them.
struct Report
{
    QString serialNumber;
    QString port;
    QString versionBefore; // the read's version text; empty while not read
    QString versionAfter;  // empty when not known
    QString firmwareFile;
    QString versionNumber; // the firmware's full number; empty when not known
    QString result;
    int status = -1; // the job's end status; -1 when no job ran
    int baud = 0;    // the rate the firmware was programmed at; 0 when none was
    double seconds = 0; // the job's, as its record says
    bool verified = false; // the programming was read back and found right

    QJsonObject toJson() const
    {
        QJsonObject o{{QStringLiteral("serialNumber"), textOrNull(serialNumber)},
                      {QStringLiteral("port"), textOrNull(port)},
                      {QStringLiteral("firmwareFile"), textOrNull(firmwareFile)},
                      {QStringLiteral("versionNumber"), textOrNull(versionNumber)},
                      {QStringLiteral("result"), result},
                      {QStringLiteral("status"), status},
                      {QStringLiteral("seconds"), seconds},
                      {QStringLiteral("baud"), baud},
                      {QStringLiteral("verified"), verified}};
        putVersion(o, QStringLiteral("versionBefore"), versionBefore, true);
        putVersion(o, QStringLiteral("versionAfter"), versionAfter, false);
        return o;
    }

    // Nothing that changes the instrument was sent: it is as it was read.
    void notUpdated(const QString &text)
    {
        result = text;
        versionAfter = versionBefore;
    }
};


void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "nvx7300ctl: %s\n", qPrintable(message));
        std::abort();
    }
    if (g_verbose)
        std::fprintf(stderr, "[debug] %s\n", qPrintable(message));
}

struct Attached
{
    QString serialNumber;
    QString port;
    QString description;
};

// The same refresh the window's port timer runs.
QList<Attached> attachedInstruments()
{
    ComPortModel model;
    ComPortComboBoxManagement selector;
    selector.refreshValues(&model);
    QList<Attached> out;
    for (int row = 0; row < model.rowCount(); ++row)
        out.append({model.myData(row, 2).toString(), model.myData(row, 0).toString(), model.myData(row, 1).toString()});
    return out;
}

// --port, or the only instrument attached.
bool resolvePort(const Options &o, QString *port, int *exitStatus)
{
    if (!o.port.isEmpty()) {
        const QString what = portcheck::notASerialPort(o.port);
        if (!what.isEmpty()) {
            printErr(QStringLiteral("%1 is not a serial port but %2; name the instrument's port, as list shows it")
                         .arg(o.port, what));
            *exitStatus = kExitNoInstrument;
            return false;
        }
        *port = o.port;
        return true;
    }
    const QList<Attached> attached = attachedInstruments();
    if (attached.isEmpty()) {
        printErr(QStringLiteral("no NVX7300 attached; switch it on and connect it"));
        *exitStatus = kExitNoInstrument;
        return false;
    }
    if (attached.size() > 1) {
        QStringList ports;
        for (const Attached &a : attached)
            ports << a.port;
        printErr(QStringLiteral("%1 instruments attached (%2); name one with --port, or use update --all")
                     .arg(attached.size())
                     .arg(ports.join(QStringLiteral(", "))));
        *exitStatus = kExitUsage;
        return false;
    }
    *port = attached.first().port;
    return true;
}

QUrl serverBase(const Options &o)
{
    return o.catalogueUrl.isEmpty() ? VersionComboBoxManagement::defaultServerBase() : QUrl(o.catalogueUrl);
}

// The password file must be in place before a read, as the window's start-up ensures.
void installBuiltIns()
{
    VersionModel model;
    VersionComboBoxManagement catalogue(VersionComboBoxManagement::defaultServerBase());
    catalogue.refreshLocalValues(&model);
}

// The file can be read and passes the checks the update makes before its erase.
bool firmwareUsable(const QString &path, int *exitStatus)
{
    *exitStatus = kExitFileUnreadable;
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        printErr(QStringLiteral("cannot read firmware file %1").arg(path));
        return false;
    }
    const bsl::FirmwareCheck check = bsl::checkFirmwareFile(path);
    if (!check.ok) {
        printErr(QLatin1String(workflow::kRefusalPrefix) + QLatin1String(workflow::kFirmwareCheckFailed) + QStringLiteral(": ") + check.reason + QStringLiteral(" (") + path
                 + QLatin1Char(')'));
        return false;
    }
    *exitStatus = kExitOk;
    return true;
}

int commandList(const Options &o, QJsonObject *fields)
{
    const QList<Attached> attached = attachedInstruments();
    QJsonArray array;
    for (const Attached &a : attached) {
        array.append(QJsonObject{{QStringLiteral("serialNumber"), a.serialNumber},
                                 {QStringLiteral("port"), a.port},
                                 {QStringLiteral("description"), a.description}});
        if (!o.json)
            printOut(a.serialNumber + QLatin1Char('\t') + a.port + QLatin1Char('\t') + a.description);
    }
    fields->insert(QStringLiteral("instruments"), array);
    if (attached.isEmpty()) {
        printErr(QStringLiteral("no NVX7300 attached"));
        return kExitNoInstrument;
    }
    return kExitOk;
}

// Reads the instrument; when the read did not reach it, says why and sets the exit status.
bool readInstrument(InstrumentSession &session, const QString &port, ReadOutcome *read, int *exitStatus)
{
    using workflow::Finding;
    installBuiltIns();
    *read = session.read(port, kReadTimeoutMs);
    if (read->timedOut) {
        printErr(QStringLiteral("no answer from the instrument on %1").arg(port));
        *exitStatus = kExitFailed;
        return false;
    }
    switch (read->finding) {
    case Finding::PortBusy:
    case Finding::PortNotPermitted:
    case Finding::NotConnected:
    case Finding::LineFailed: {
        PortProblem problem = diagnosePort(port);
        const bool answerless = read->finding == Finding::NotConnected || read->finding == Finding::LineFailed;
        if (answerless && problem.exitStatus != kExitNoInstrument)
            problem = {kExitNoInstrument,
                       QStringLiteral("no answer from the NVX7300 on %1; switch it on and check its cable").arg(port)};
        printErr(problem.reason);
        *exitStatus = problem.exitStatus;
        return false;
    }
    case Finding::FilesUnusable:
        printErr(QStringLiteral("the instrument on %1 could not be read: this computer cannot write or read the "
                                "toolkit's own files in %2 (see --verbose for which)")
                     .arg(port, QDir::toNativeSeparators(VersionComboBoxManagement::firmwareDirectory())));
        *exitStatus = kExitFileUnreadable;
        return false;
    case Finding::RecoveryFromOlderBackup:
        printErr(QStringLiteral("the latest backup of the instrument on %1 failed its check; "
                                "the update restores the one before it")
                     .arg(port));
        break;
    default:
        break;
    }
    return true;
}

// True when the read found which NVX7300 it is, or that the next update restores it.
bool identified(workflow::Finding finding)
{
    return finding != workflow::Finding::Unidentified && finding != workflow::Finding::NotOpened
        && finding != workflow::Finding::BackupDamaged;
}

// Reads the version of an instrument that can be updated.
bool readVersion(InstrumentSession &session, const QString &port, ReadOutcome *read, int *exitStatus)
{
    if (!readInstrument(session, port, read, exitStatus))
        return false;
    if (identified(read->finding))
        return true;
    if (read->finding == workflow::Finding::BackupDamaged)
        printErr(QStringLiteral("the instrument on %1 has lost its information memory and its backup failed its "
                                "check, so nothing can restore it; keep the backup files for service")
                     .arg(port));
    else
        printErr(QStringLiteral("the instrument on %1 was not identified: no stored password opens it, "
                                "or it is not an NVX7300")
                     .arg(port));
    *exitStatus = kExitNotIdentified;
    return false;
}

int commandVersion(const Options &o, QJsonObject *fields)
{
    QString port;
    int exitStatus = kExitOk;
    ReadOutcome read; // its version: a version, or its state
    auto finish = [&](int status) {
        fields->insert(QStringLiteral("serialNumber"), textOrNull(Controller::bridgeSerialNumber(port)));
        fields->insert(QStringLiteral("port"), textOrNull(port.isEmpty() ? o.port : port));
        putVersion(*fields, QStringLiteral("version"), read.version, true);
        return status;
    };
    if (!resolvePort(o, &port, &exitStatus))
        return finish(exitStatus);
    InstrumentSession session;
    const bool known = readVersion(session, port, &read, &exitStatus);
    if (known && workflow::needsRecovery(read.finding)) {
        say(QStringLiteral("NVX7300 must be updated again"));
        printErr(QStringLiteral("the instrument on %1 was left erased; nvx7300ctl update restores it").arg(port));
        return finish(kExitNeedsRecovery);
    }
    // Why a read never reached the instrument is on standard error only.
    if (known || exitStatus == kExitNotIdentified)
        say(read.version);
    return finish(known ? kExitOk : exitStatus);
}

// Why the server's catalogue is not in use: "catalogue refused at URL: why".
QString catalogueTrouble(const CatalogueListing &listing, const QUrl &base)
{
    if (listing.storeBusy)
        return QStringLiteral("catalogue not checked, ") + listing.problem;
    const QString trouble = (listing.catalogueRefused ? QStringLiteral("catalogue refused at ")
                                                      : QStringLiteral("catalogue unreachable at "))
                            + base.toString();
    return listing.problem.isEmpty() ? trouble : trouble + QStringLiteral(": ") + listing.problem;
}

int commandVersions(const Options &o, QJsonObject *fields)
{
    const CatalogueListing listing = refreshCatalogue(serverBase(o), o.offline, kSettleTimeoutMs);
    int numberWidth = 0;
    int descriptionWidth = 0;
    QJsonArray array;
    for (const VersionEntry &v : listing.versions) {
        numberWidth = qMax(numberWidth, v.number.size());
        descriptionWidth = qMax(descriptionWidth, v.description.size());
        array.append(QJsonObject{{QStringLiteral("version"), textOrNull(jsondocument::versionOfNumber(v.number))},
                                 {QStringLiteral("versionNumber"), v.number},
                                 {QStringLiteral("description"), v.description},
                                 {QStringLiteral("date"), v.date},
                                 {QStringLiteral("firmwareFile"), v.filename},
                                 {QStringLiteral("path"), v.path}});
    }
    fields->insert(QStringLiteral("versions"), array);
    if (!o.json) {
        for (const VersionEntry &v : listing.versions)
            printOut(v.number.leftJustified(numberWidth + 2) + v.description.leftJustified(descriptionWidth + 2)
                     + v.path);
    }
    if (!listing.storeProblem.isEmpty()) {
        printErr(listing.storeProblem);
        return kExitFileUnreadable;
    }
    if (!o.offline && !listing.catalogueReached) {
        printErr(catalogueTrouble(listing, serverBase(o)) + QStringLiteral("; listed the versions already stored"));
        return kExitCatalogueUnreachable;
    }
    if (listing.versions.isEmpty())
        printErr(QStringLiteral("no firmware version stored yet"));
    return kExitOk;
}

// The firmware to install: --file, or the newest (or named) version.
// catalogueUnchecked: the newest stored version was chosen without the catalogue's word.
bool chooseFirmware(const Options &o, QString *path, QString *description, QString *number, int *exitStatus,
                    bool *catalogueUnchecked = nullptr)
{
    if (!o.file.isEmpty()) {
        if (!firmwareUsable(o.file, exitStatus))
            return false;
        *path = o.file;
        *description = QFileInfo(o.file).fileName();
        *number = jsondocument::numberOfFirmwareFile(o.file);
        return true;
    }
    const CatalogueListing listing = refreshCatalogue(serverBase(o), o.offline, kSettleTimeoutMs);
    const bool unreachable = !o.offline && !listing.catalogueReached;
    if (!listing.storeProblem.isEmpty()) {
        printErr(listing.storeProblem);
        *exitStatus = kExitFileUnreadable;
        return false;
    }
    if (catalogueUnchecked)
        *catalogueUnchecked = unreachable;
    if (listing.versions.isEmpty()) {
        if (unreachable) {
            printErr(catalogueTrouble(listing, serverBase(o)) + QStringLiteral(" and no firmware stored"));
            *exitStatus = kExitCatalogueUnreachable;
        } else {
            printErr(QStringLiteral("no firmware version available"));
            *exitStatus = kExitUnknownVersion;
        }
        return false;
    }
    VersionEntry chosen = listing.versions.first();
    if (!o.firmwareVersion.isEmpty()) {
        chosen = findVersion(listing.versions, o.firmwareVersion);
        if (chosen.path.isEmpty()) {
            QStringList known;
            for (const VersionEntry &v : listing.versions)
                known << v.description.mid(v.description.indexOf(QLatin1Char(' ')) + 1);
            printErr(QStringLiteral("unknown version %1%2; available: %3")
                         .arg(o.firmwareVersion,
                              unreachable ? QStringLiteral(" (catalogue unreachable)") : QString(),
                              known.join(QStringLiteral(", "))));
            *exitStatus = unreachable ? kExitCatalogueUnreachable : kExitUnknownVersion;
            return false;
        }
    }
    if (unreachable)
        printErr(catalogueTrouble(listing, serverBase(o)) + QStringLiteral("; using the versions already stored"));
    if (!firmwareUsable(chosen.path, exitStatus))
        return false;
    *path = chosen.path;
    *description = chosen.description;
    *number = chosen.number;
    return true;
}

// A version older than the running one only when the user named it; an
// instrument left erased runs none.
bool downgradeAllowed(const Options &o, const ReadOutcome &read, const QString &number, int *exitStatus)
{
    const bool named = !o.firmwareVersion.isEmpty() || !o.file.isEmpty();
    if (o.allowDowngrade || (named && !o.noDowngrade) || workflow::needsRecovery(read.finding))
        return true;
    const QString &running = read.version;
    // --no-downgrade is the user's (or update --all's) own word: no advice to go against it.
    QString refusal = downgradeRefusal(running, number, !o.noDowngrade);
    if (number.isEmpty())
        refusal = o.noDowngrade ? QStringLiteral("cannot tell the version of %1 from its name (731-MMM-NNN-...), so "
                                                 "it may be older than the running %2")
                                      .arg(o.file, running)
                                : QStringLiteral("cannot tell the version of %1 from its name; pass --allow-downgrade")
                                      .arg(o.file);
    if (refusal.isEmpty())
        return true;
    printErr(refusal);
    *exitStatus = kExitUnknownVersion;
    return false;
}

// Takes what the job's line in the update record says about the instrument.
void takeRecord(const RunOutcome &outcome, const Options &o, Report &report)
{
    if (outcome.record.isEmpty())
        return;
    UpdateRecord record;
    if (!UpdateRecord::fromJson(outcome.record, &record))
        return;
    if (!record.serialNumber.isEmpty())
        report.serialNumber = record.serialNumber;
    report.versionAfter = record.versionAfter;
    report.firmwareFile = record.firmwareFile;
    report.seconds = record.seconds;
    const bool programmed =
        record.status == workflow::kStatusSuccess || record.status == workflow::kStatusUpdatedNotRestarted;
    report.baud = programmed ? record.baud : 0;
    report.verified = record.verified;
    if (programmed && o.baud > record.baud)
        printErr(QStringLiteral("the instrument or its line did not take %1 baud; programmed at %2 baud")
                     .arg(o.baud)
                     .arg(record.baud));
    if (!outcome.recordError.isEmpty())
        printErr(QStringLiteral("update record: %1").arg(outcome.recordError));
}

// Runs an update or erase job and reports it as the window would.
int runJob(InstrumentSession &session, const Options &o, const QString &port, workflow::JobKind kind,
           const QString &firmware, Report &report)
{
    const bool bar = !o.progressLines && !o.json && stdoutIsTerminal();
    bool barDrawn = false;
    const int baud = o.baud == 0 ? Worker::kDefaultBaudRate : o.baud;
    const RunOutcome outcome = session.run(port, kind, firmware, baud, kRunTimeoutMs, [&](int ticks, int total) {
        if (o.progressLines) {
            printOut(QStringLiteral("@progress %1 %2").arg(ticks).arg(total));
        } else if (bar) {
            writeOut(QLatin1Char('\r') + progressBar(ticks, total, kBarWidth));
            barDrawn = true;
        }
    });
    if (barDrawn)
        writeOut(QStringLiteral("\n"));
    report.status = outcome.status;
    takeRecord(outcome, o, report);
    // Only a refusal leaves the instrument surely as it was read; after any
    // other end (or none) without its record, the version after is not known.
    if (outcome.record.isEmpty() && outcome.status != workflow::kStatusRefused)
        report.versionAfter.clear();
    if (outcome.status < 0) {
        report.result = workflow::endText(outcome.status, kind);
        printErr(QStringLiteral("no result from the instrument on %1").arg(port));
        if (o.progressLines)
            printOut(QStringLiteral("@result -1 Update Failed"));
        return kExitFailed;
    }
    const QString text = workflow::endText(workflow::JobEnd{outcome.status, kind, outcome.leftErased});
    report.result = text;
    if (o.progressLines)
        printOut(QStringLiteral("@result %1 %2").arg(outcome.status).arg(text));
    else
        say(text);
    if (outcome.status == workflow::kStatusSuccess || outcome.status == workflow::kStatusUpdatedNotRestarted)
        return kExitOk;
    if (outcome.leftErased) {
        // Whatever stopped it, the instrument is no longer as it was read.
        printErr(QStringLiteral("the run on %1 stopped after its erase began (engine result %2): the NVX7300 must "
                                "be updated again")
                     .arg(port)
                     .arg(outcome.status));
        return kExitNeedsRecovery;
    }
    if (outcome.status == workflow::kStatusRefused) {
        // Nothing was sent that changes the instrument; the line says what to do.
        printErr(outcome.refusal ? outcome.refusal.why : text);
        return refusalExitStatus(outcome.refusal.reason);
    }
    if (outcome.status == workflow::kStatusPortFailed) {
        const PortProblem problem = diagnosePort(port);
        printErr(problem.reason);
        return problem.exitStatus;
    }
    printErr(QStringLiteral("%1 on %2 (engine result %3)").arg(text, port).arg(outcome.status));
    return kExitFailed;
}

// Asks on the terminal; anything but yes, or no answer at all, is a no.
bool confirmed(const QString &question)
{
    std::fprintf(stderr, "%s [y/N] ", question.toLocal8Bit().constData());
    std::fflush(stderr);
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return false;
    const QString reply = QString::fromLocal8Bit(answer).trimmed().toLower();
    return reply == QLatin1String("y") || reply == QLatin1String("yes");
}

// What a backup file holds, for the technician who decides whether to restore it.
QStringList describeBackup(const QString &path, const QByteArray &text, const QByteArray &bytes)
{
    const QString name = QFileInfo(path).fileName();
    const QString prefix = QStringLiteral("731-info-");
    const int nameEnd = name.indexOf(QStringLiteral(".txt"));
    const QString serial = name.startsWith(prefix) && nameEnd > prefix.size()
        ? name.mid(prefix.size(), nameEnd - prefix.size())
        : QStringLiteral("unknown (not named after a bridge)");
    const int end = text.indexOf("\nq\n");
    const QByteArray body = end < 0 ? text : text.left(end + 3);
    const QByteArray trailer = end < 0 ? QByteArray() : text.mid(end + 3).trimmed();
    QString digest = QStringLiteral("missing");
    if (!trailer.isEmpty())
        digest = trailer == QByteArray("sha256 ")
                         + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex()
                     ? QStringLiteral("matches")
                     : QStringLiteral("does not match");
    const bool marker = infomemory::hasMarker(bytes);
    const QString version = bytes.size() == infomemory::kSize
        ? QStringLiteral("%1.%2")
              .arg(uchar(bytes[infomemory::kMajorOffset]))
              .arg(uchar(bytes[infomemory::kMinorOffset]))
        : QStringLiteral("-");
    return {QStringLiteral("Backup file:     %1").arg(QDir::toNativeSeparators(path)),
            QStringLiteral("Bridge serial:   %1").arg(serial),
            QStringLiteral("Written:         %1 UTC")
                .arg(QFileInfo(path).lastModified().toUTC().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))),
            QStringLiteral("NVX7300 marker:  %1").arg(marker ? QStringLiteral("present") : QStringLiteral("missing")),
            QStringLiteral("Version bytes:   %1").arg(version),
            QStringLiteral("Digest line:     %1").arg(digest)};
}

// update --restore-backup: the read must find the instrument erased; the
// file's information memory is shown, confirmed and handed to the job.
bool readServiceBackup(const Options &o, InstrumentSession &session, const QString &port, ReadOutcome *read,
                       QByteArray *image, int *exitStatus)
{
    constexpr qint64 kMaxBackupFile = 4096;
    QFile file(o.restoreBackup);
    QByteArray text;
    if (file.open(QIODevice::ReadOnly))
        text = file.read(kMaxBackupFile + 1);
    const int end = text.indexOf("\nq\n");
    const QByteArray bytes = infomemory::fromText(end < 0 ? text : text.left(end + 3));
    if (text.isEmpty() || text.size() > kMaxBackupFile || file.error() != QFileDevice::NoError) {
        printErr(QStringLiteral("cannot read the backup file %1").arg(o.restoreBackup));
        *exitStatus = kExitFileUnreadable;
        return false;
    }
    if (!readInstrument(session, port, read, exitStatus))
        return false;
    if (read->finding != workflow::Finding::BackupDamaged && !workflow::needsRecovery(read->finding)) {
        printErr(QStringLiteral("--restore-backup is for an instrument left erased; the one on %1 reads as %2")
                     .arg(port, read->version));
        *exitStatus = kExitFailed;
        return false;
    }
    for (const QString &line : describeBackup(o.restoreBackup, text, bytes))
        say(line);
    if (!infomemory::hasMarker(bytes)) {
        printErr(QStringLiteral("%1 holds no complete information memory with the NVX7300 marker").arg(o.restoreBackup));
        *exitStatus = kExitFileUnreadable;
        return false;
    }
    if (!o.yes && !confirmed(QStringLiteral("Restore this information memory to the instrument on %1?").arg(port))) {
        printErr(QStringLiteral("backup not confirmed; nothing was erased"));
        *exitStatus = kExitFailed;
        return false;
    }
    session.restoreServiceBackup(bytes);
    *image = bytes;
    return true;
}

int commandUpdate(const Options &o, Report &report, QJsonObject *fields)
{
    QString firmware;
    QString description;
    QString number;
    int exitStatus = kExitOk;
    bool catalogueUnchecked = false;
    report.port = o.port;
    report.notUpdated(QStringLiteral("Update refused"));

    if (o.all) {
        fields->insert(QStringLiteral("instruments"), QJsonArray()); // one object each, once they run
        QList<FleetMember> members;
        if (!o.ports.isEmpty()) {
            for (const QString &p : o.ports)
                members.append({QStringLiteral("-"), p});
        } else {
            for (const Attached &a : attachedInstruments())
                members.append({a.serialNumber, a.port});
        }
        if (members.isEmpty()) {
            printErr(QStringLiteral("no NVX7300 attached"));
            return kExitNoInstrument;
        }
        if (!chooseFirmware(o, &firmware, &description, &number, &exitStatus, &catalogueUnchecked))
            return exitStatus;
        installBuiltIns();
        FleetOptions fleet;
        fleet.verbose = o.verbose;
        // Each member checks its own running version against the chosen one.
        const bool named = !o.firmwareVersion.isEmpty() || !o.file.isEmpty();
        fleet.refuseDowngrade = !o.allowDowngrade && !named;
        fleet.keepCurrent = o.keepCurrent;
        fleet.catalogueUnchecked = catalogueUnchecked;
        fleet.baud = o.baud;
        fleet.verify = o.verify;
        fleet.json = o.json;
        fleet.virtualBridges = o.virtualBridges;
        QJsonArray outcomes;
        const int status = updateFleet(members, firmware, description, fleet, &outcomes);
        fields->insert(QStringLiteral("instruments"), outcomes);
        return status;
    }

    QString port;
    if (!resolvePort(o, &port, &exitStatus))
        return exitStatus;
    report.port = port;
    report.serialNumber = Controller::bridgeSerialNumber(port);
    if (!chooseFirmware(o, &firmware, &description, &number, &exitStatus, &catalogueUnchecked))
        return exitStatus;
    report.firmwareFile = QFileInfo(firmware).fileName();
    report.versionNumber = number;

    InstrumentSession session;
    ReadOutcome read;
    const QString &version = read.version;
    QByteArray serviceBackup;
    if (!o.restoreBackup.isEmpty()) {
        if (!readServiceBackup(o, session, port, &read, &serviceBackup, &exitStatus)) {
            report.versionBefore = version;
            report.notUpdated(QStringLiteral("Update refused"));
            return exitStatus;
        }
    } else if (!readVersion(session, port, &read, &exitStatus)) {
        const bool answered = exitStatus == kExitNotIdentified;
        report.versionBefore = version;
        report.notUpdated(QStringLiteral("Update refused"));
        if (o.progressLines)
            printOut(QStringLiteral("@version ") + (answered ? version : QStringLiteral("-")));
        else if (answered && read.finding != workflow::Finding::BackupDamaged)
            say(QStringLiteral("NVX7300 software is invalid"));
        return exitStatus;
    }
    report.versionBefore = version;
    report.notUpdated(QStringLiteral("Update refused"));
    const bool erased = workflow::needsRecovery(read.finding) || !serviceBackup.isEmpty();
    if (o.progressLines)
        printOut(QStringLiteral("@version ") + version);
    else
        say(erased ? QStringLiteral("NVX7300 must be updated again")
                   : QStringLiteral("NVX7300 is currently running version ") + version);
    // Already running the version it would get: nothing to erase.
    if (!erased && o.keepCurrent && runsRelease(version, number)) {
        report.notUpdated(QLatin1String(kResultUpToDate));
        if (o.progressLines)
            printOut(QStringLiteral("@result -1 ") + QLatin1String(kResultUpToDate));
        else
            say(QLatin1String(kResultUpToDate));
        if (!catalogueUnchecked)
            return kExitOk;
        printErr(QStringLiteral("the catalogue could not be checked: up to date with the versions stored here only"));
        return kExitCatalogueUnreachable;
    }
    if (!o.progressLines)
        say(QStringLiteral("Update to ") + description + QStringLiteral(" (") + firmware + QLatin1Char(')'));
    // Refused after the read, before anything is erased.
    if (serviceBackup.isEmpty() && !downgradeAllowed(o, read, number, &exitStatus)) {
        if (o.progressLines)
            printOut(QStringLiteral("@result -1 Update Failed"));
        return exitStatus;
    }
    session.setVerifyUpdates(o.verify);
    return runJob(session, o, port, workflow::JobKind::Update, firmware, report);
}

int commandErase(const Options &o, Report &report)
{
    int exitStatus = kExitOk;
    report.firmwareFile = QFileInfo(o.file).fileName();
    report.versionNumber = jsondocument::numberOfFirmwareFile(o.file);
    report.port = o.port;
    report.notUpdated(QStringLiteral("Erase refused"));
    if (!firmwareUsable(o.file, &exitStatus))
        return exitStatus;
    QString port;
    if (!resolvePort(o, &port, &exitStatus))
        return exitStatus;
    report.port = port;
    report.serialNumber = Controller::bridgeSerialNumber(port);
    InstrumentSession session;
    // The erase takes the information memory with it: the read lets the job
    // back it up first, and shows whether there is any to keep.
    ReadOutcome read;
    const bool reached = readInstrument(session, port, &read, &exitStatus);
    report.versionBefore = read.version;
    report.notUpdated(QStringLiteral("Erase refused"));
    if (!reached)
        return exitStatus;
    const bool known = identified(read.finding);
    if (!known)
        printErr(QStringLiteral("the instrument on %1 was not identified: whatever its information memory holds "
                                "is lost by the erase")
                     .arg(port));
    if (!o.yes
        && !confirmed(QStringLiteral("Mass erase of the instrument on %1%2, then programming %3?")
                          .arg(port, known ? QStringLiteral(" (its information memory is backed up first)")
                                                : QString(),
                               o.file))) {
        printErr(QStringLiteral("erase not confirmed; nothing was erased"));
        return kExitFailed;
    }
    if (!o.progressLines)
        say(QStringLiteral("Mass erase of %1, then programming %2").arg(port, o.file));
    return runJob(session, o, port, workflow::JobKind::Erase, o.file, report);
}

// "0x8000"; empty for none (-1).
QString hexAddress(qint64 address)
{
    return address < 0 ? QString()
                       : QStringLiteral("0x") + QString::number(address, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

// Is the instrument running exactly this firmware? Nothing is written: a
// read finds the password that opens it, and the comparison uses only that.
int commandVerify(const Options &o, QJsonObject *fields)
{
    QString port, firmware, description, number;
    ReadOutcome read;
    int exitStatus = kExitOk;
    VerifyOutcome outcome;
    auto finish = [&](int status) {
        const bool compared = outcome.result == bsl::kResultSuccess || outcome.firstDifference >= 0;
        fields->insert(QStringLiteral("serialNumber"), textOrNull(Controller::bridgeSerialNumber(port)));
        fields->insert(QStringLiteral("port"), textOrNull(port.isEmpty() ? o.port : port));
        putVersion(*fields, QStringLiteral("version"), read.version, true);
        fields->insert(QStringLiteral("firmwareFile"), textOrNull(QFileInfo(firmware).fileName()));
        fields->insert(QStringLiteral("versionNumber"), textOrNull(number));
        fields->insert(QStringLiteral("identical"),
                       compared ? QJsonValue(outcome.result == bsl::kResultSuccess) : QJsonValue());
        fields->insert(QStringLiteral("firstDifference"), textOrNull(hexAddress(outcome.firstDifference)));
        return status;
    };
    if (!resolvePort(o, &port, &exitStatus) || !chooseFirmware(o, &firmware, &description, &number, &exitStatus))
        return finish(exitStatus);
    InstrumentSession session;
    if (!readVersion(session, port, &read, &exitStatus))
        return finish(exitStatus);
    const int baud = o.baud == 0 ? Worker::kDefaultBaudRate : o.baud;
    outcome = session.verify(port, firmware, baud, kRunTimeoutMs);
    if (outcome.result == bsl::kResultSuccess) {
        say(QStringLiteral("NVX7300 runs exactly %1").arg(description));
        return finish(kExitOk);
    }
    if (outcome.firstDifference >= 0) {
        say(QStringLiteral("NVX7300 differs from %1 from address %2 on").arg(description, hexAddress(outcome.firstDifference)));
        return finish(kExitFailed);
    }
    printErr(outcome.result < 0 ? QStringLiteral("no answer from the instrument on %1").arg(port)
                                : QStringLiteral("the comparison with %1 failed on %2 (engine result %3)")
                                      .arg(description, port)
                                      .arg(outcome.result));
    return finish(kExitFailed);
}

// The update record, oldest first, as it is read: the file grows for the
// life of the installation, so nothing of it is held (--json writes the
// document's "records" as it goes). Lines that are not records are skipped
// with a warning.
int commandHistory(const Options &o)
{
    const QString path = updaterecord::filePath();
    // Wide enough for what the toolkit writes; a longer cell pushes its row along.
    const QVector<int> widths{19, 12, 14, 8, 8, 5, 7, 31, 0};
    int shown = 0;
    if (o.json)
        writeOut(QStringLiteral("{\"records\":["));
    else
        printOut(formatRow({QStringLiteral("TIME (UTC)"), QStringLiteral("SERIAL"), QStringLiteral("PORT"),
                            QStringLiteral("BEFORE"), QStringLiteral("AFTER"), QStringLiteral("BAUD"),
                            QStringLiteral("SECONDS"), QStringLiteral("FIRMWARE"), QStringLiteral("RESULT")},
                           widths));
    auto orDash = [](const QString &text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    // A job's started line gives way to its end, or to what the next read
    // found; alone it is a run that was cut off.
    const QSet<QString> finished = updaterecord::finishedJobs(path);
    QString error;
    const bool readable = updaterecord::read(
        path,
        [&](UpdateRecord r) {
            if (!o.serialNumber.isEmpty() && r.serialNumber != o.serialNumber)
                return;
            if (r.stage == UpdateRecord::Stage::Started) {
                if (finished.contains(r.job))
                    return;
                r.result = QStringLiteral("Interrupted (%1; no end recorded)").arg(r.result);
            }
            if (o.json)
                writeOut((shown > 0 ? QStringLiteral(",") : QString())
                         + QString::fromUtf8(QJsonDocument(jsondocument::fromRecord(r)).toJson(QJsonDocument::Compact)));
            else
                printOut(formatRow({r.time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), orDash(r.serialNumber),
                                    r.port, orDash(r.versionBefore), orDash(r.versionAfter), QString::number(r.baud),
                                    QString::number(r.seconds, 'f', 1), orDash(r.firmwareFile), r.result},
                                   widths));
            ++shown;
        },
        [&](int line, const QString &why) {
            printErr(QStringLiteral("%1 line %2 skipped: %3").arg(path).arg(line).arg(why));
        },
        &error);
    if (o.json)
        writeOut(QStringLiteral("]"));
    if (!readable) {
        printErr(error);
        return kExitFailed;
    }
    if (shown == 0)
        printErr(o.serialNumber.isEmpty() ? QStringLiteral("no update recorded in %1").arg(path)
                                          : QStringLiteral("no update of %1 recorded in %2").arg(o.serialNumber, path));
    return kExitOk;
}

// A child of update --all lists its parent's virtual instruments as that
// parent does, so that their backups find the same names. Only
// pseudo-terminals: a real port's bridge is never named on a command line.
bool listParentsVirtualInstruments(const QStringList &bridges)
{
    for (const QString &bridge : bridges) {
        const int equals = bridge.indexOf(QLatin1Char('='));
        const QString port = bridge.mid(equals + 1);
        if (equals <= 0 || !QFileInfo(port).canonicalFilePath().startsWith(QLatin1String("/dev/pts/"))) {
            printErr(QStringLiteral("--virtual-bridges names pseudo-terminals only: %1").arg(bridge));
            return false;
        }
        discovery::addExtraDevice(bridge.left(equals), QStringLiteral("NVX7300"), port);
    }
    return true;
}

// The paths of the command line are the user's, taken from the folder the
// program started in: installing the built-in files moves the working
// directory into the firmware folder. A port without a folder ("ttyUSB0",
// "COM9") is the system's name for it.
void settleOptionPaths(Options &o)
{
    const auto settle = [](QString &path) {
        if (!path.isEmpty() && QDir::isRelativePath(path))
            path = QFileInfo(path).absoluteFilePath();
    };
    settle(o.file);
    settle(o.restoreBackup);
    if (o.port.contains(QLatin1Char('/')))
        settle(o.port);
    for (QString &port : o.ports) {
        if (port.contains(QLatin1Char('/')))
            settle(port);
    }
}

// The run once its command line is read: fills what the command reports
// under the contract's names (jsondocument.h); streamed when history has
// written its records already.
int runCommand(Options &o, QJsonObject *fields, bool *streamed)
{
    if (o.help) {
        if (o.json)
            fields->insert(QStringLiteral("help"), helpText(o.command));
        else
            writeOut(helpText(o.command));
        return kExitOk;
    }
    if (o.showProgramVersion) {
        const bool signedOnly = !catalogue::builtInPublicKey().isEmpty();
        fields->insert(QStringLiteral("programVersion"), QCoreApplication::applicationVersion());
        fields->insert(QStringLiteral("signedCataloguesOnly"), signedOnly);
        if (o.json)
            return kExitOk;
        printOut(QStringLiteral("nvx7300ctl ") + QCoreApplication::applicationVersion());
        if (!signedOnly)
            printOut(QStringLiteral("no catalogue key: this build accepts unsigned catalogues (development only)"));
        return kExitOk;
    }
    settleOptionPaths(o);
    g_verbose = o.verbose;
    holdSignalsDuringErase();
    if (o.json && !o.progressLines)
        keepStandardOutputForJson();
    if (o.command != Command::List) {
        // Said at once, before anything waits on the folder: a read-only or
        // full folder, or none at all (no home). The folders are made
        // absolute first, as installing the built-in files moves the working
        // directory into the store.
        QString problem = workflow::paths::settle();
        const QStringList folders{QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
                                  VersionComboBoxManagement::firmwareDirectory()};
        for (int i = 0; problem.isEmpty() && o.command != Command::History && i < folders.size(); ++i)
            safefile::checkWritableFolder(folders.at(i), &problem);
        if (!problem.isEmpty()) {
            printErr(problem);
            return kExitFileUnreadable;
        }
    }
    if (!o.catalogueUrl.isEmpty()) {
        const QUrl url(o.catalogueUrl, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty()
            || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
            printErr(QStringLiteral("--catalogue-url needs an http URL such as http://127.0.0.1:8731/731"));
            return kExitUsage;
        }
    }

    // Virtual instruments live in this process; children of update --all
    // open them by port name.
    std::unique_ptr<nvx::VirtualInstruments> virtualInstruments;
    if (o.virtualInstruments > 0) {
        virtualInstruments = std::make_unique<nvx::VirtualInstruments>();
        if (!virtualInstruments->start(o.virtualInstruments)) {
            printErr(QStringLiteral("cannot open a pseudo-terminal for the virtual instruments"));
            return kExitFailed;
        }
        for (int i = 0; i < virtualInstruments->count(); ++i)
            o.virtualBridges << virtualInstruments->serialNumber(i) + QLatin1Char('=') + virtualInstruments->portName(i);
    } else if (!listParentsVirtualInstruments(o.virtualBridges)) {
        return kExitUsage;
    }

    Report report;
    int exitStatus = kExitUsage;
    switch (o.command) {
    case Command::List:
        return commandList(o, fields);
    case Command::Version:
        return commandVersion(o, fields);
    case Command::Versions:
        return commandVersions(o, fields);
    case Command::Update:
        exitStatus = commandUpdate(o, report, fields);
        if (!o.all)
            *fields = report.toJson();
        return exitStatus;
    case Command::Erase:
        exitStatus = commandErase(o, report);
        *fields = report.toJson();
        return exitStatus;
    case Command::History:
        *streamed = o.json;
        return commandHistory(o);
    case Command::Verify:
        return commandVerify(o, fields);
    case Command::None:
        break;
    }
    return exitStatus;
}

} // namespace

int nvxctl::runProgram(int argc, char **argv)
{
    qInstallMessageHandler(messageHandler);
    QCoreApplication app(argc, argv);
    // The same identity as the window, hence the same per-user firmware folder.
    QCoreApplication::setOrganizationName(QStringLiteral("ostrel"));
    QCoreApplication::setApplicationName(QStringLiteral("NVX7300 Toolkit"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NVX_TOOLKIT_VERSION));

    Options o;
    QString error;
    QJsonObject fields;
    bool streamed = false;
    int exitStatus = kExitUsage;
    if (parseArguments(QCoreApplication::arguments(), &o, &error))
        exitStatus = runCommand(o, &fields, &streamed);
    else
        printErr(error + QStringLiteral("; see nvx7300ctl --help"));
    exitStatus = exitStatusAfterSignals(exitStatus);
    // One document, whatever happened: a child of update --all hands it to its parent.
    const QString document = jsondocument::text(fields, exitStatus, lastError(), streamed);
    if (o.progressLines && o.command == Command::Update)
        printOut(QStringLiteral("@report ") + document);
    else if (o.json)
        printOut(document);
    return exitStatus;
}
