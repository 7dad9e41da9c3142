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
#include "instrumentsession.h"
#include "status.h"
#include "terminal.h"
#include "updaterecord.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"
#include "virtualinstruments.h"
#include "worker.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace nvxctl;

namespace {

constexpr int kReadTimeoutMs = 120000;      // all password attempts of one read
constexpr int kRunTimeoutMs = 30 * 60000;   // a whole update at the slowest line rate, with margin
constexpr int kSettleTimeoutMs = 120000;    // catalogue and firmware downloads
constexpr int kBarWidth = 40;

bool g_verbose = false;
QElapsedTimer g_started; // the program's start: --json reports the seconds spent on the instrument

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

// What update and erase say about one instrument: with --json, and to the
// update --all that started them.
struct Report
{
    QString serialNumber;
    QString port;
    QString versionBefore; // empty while not read
    QString versionAfter;  // empty when not known
    QString firmwareFile;
    QString result;
    int status = -1; // the job's end status; -1 when no job ran
    int baud = 0;    // the rate the firmware was programmed at; 0 when none was
    bool verified = false; // the programming was read back and found right

    QJsonObject toJson() const
    {
        return QJsonObject{{QStringLiteral("serialNumber"), textOrNull(serialNumber)},
                           {QStringLiteral("port"), textOrNull(port)},
                           {QStringLiteral("versionBefore"), textOrNull(versionBefore)},
                           {QStringLiteral("versionAfter"), textOrNull(versionAfter)},
                           {QStringLiteral("firmwareFile"), textOrNull(firmwareFile)},
                           {QStringLiteral("result"), result},
                           {QStringLiteral("status"), status},
                           {QStringLiteral("seconds"), double(g_started.elapsed() / 100) / 10},
                           {QStringLiteral("baud"), baud},
                           {QStringLiteral("verified"), verified}};
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

int commandList(const Options &o, QJsonValue *document)
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
    *document = array;
    if (attached.isEmpty()) {
        printErr(QStringLiteral("no NVX7300 attached"));
        return kExitNoInstrument;
    }
    return kExitOk;
}

// Reads the instrument; when the read did not reach it, says why and sets the exit status.
bool readInstrument(InstrumentSession &session, const QString &port, QString *version, int *exitStatus)
{
    installBuiltIns();
    const ReadOutcome read = session.read(port, kReadTimeoutMs);
    if (read.timedOut) {
        printErr(QStringLiteral("no answer from the instrument on %1").arg(port));
        *exitStatus = kExitFailed;
        return false;
    }
    *version = read.version;
    if (read.version == QLatin1String(workflow::kVersionPortBusy)
        || read.version == QLatin1String(workflow::kVersionPortNotPermitted)
        || read.version == QLatin1String(workflow::kVersionNotConnected)) {
        PortProblem problem = diagnosePort(port);
        if (read.version == QLatin1String(workflow::kVersionNotConnected) && problem.exitStatus != kExitNoInstrument)
            problem = {kExitNoInstrument,
                       QStringLiteral("no answer from the NVX7300 on %1; switch it on and check its cable").arg(port)};
        printErr(problem.reason);
        *exitStatus = problem.exitStatus;
        return false;
    }
    if (read.version == QLatin1String(workflow::kVersionFilesUnusable)) {
        printErr(QStringLiteral("the instrument on %1 could not be read: this computer cannot write or read the "
                                "toolkit's own files in %2 (see --verbose for which)")
                     .arg(port, QDir::toNativeSeparators(VersionComboBoxManagement::firmwareDirectory())));
        *exitStatus = kExitFileUnreadable;
        return false;
    }
    if (read.version == QLatin1String(workflow::kVersionRecoveryFromOlderBackup))
        printErr(QStringLiteral("the latest backup of the instrument on %1 failed its check; "
                                "the update restores the one before it")
                     .arg(port));
    return true;
}

// Reads the version of an instrument that can be updated.
bool readVersion(InstrumentSession &session, const QString &port, QString *version, int *exitStatus)
{
    if (!readInstrument(session, port, version, exitStatus))
        return false;
    if (*version == QLatin1String(workflow::kVersionUnknown)) {
        printErr(QStringLiteral("the instrument on %1 was not identified: no stored password opens it, "
                                "or it is not an NVX7300")
                     .arg(port));
        *exitStatus = kExitNotIdentified;
        return false;
    }
    if (*version == QLatin1String(workflow::kVersionBackupDamaged)) {
        printErr(QStringLiteral("the instrument on %1 has lost its information memory and its backup failed its "
                                "check, so nothing can restore it; keep the backup files for service")
                     .arg(port));
        *exitStatus = kExitNotIdentified;
        return false;
    }
    return true;
}

int commandVersion(const Options &o, QJsonValue *document)
{
    QString port;
    int exitStatus = kExitOk;
    QString answer; // the instrument's own answer only; why a read never reached it is on standard error
    auto finish = [&](int status) {
        *document = QJsonObject{{QStringLiteral("serialNumber"), textOrNull(Controller::bridgeSerialNumber(port))},
                                {QStringLiteral("port"), textOrNull(port)},
                                {QStringLiteral("version"), textOrNull(answer)}};
        return status;
    };
    if (!resolvePort(o, &port, &exitStatus))
        return finish(exitStatus);
    InstrumentSession session;
    QString version;
    const bool identified = readVersion(session, port, &version, &exitStatus);
    if (identified || exitStatus == kExitNotIdentified)
        answer = version;
    if (identified && workflow::needsRecovery(version)) {
        say(QStringLiteral("NVX7300 must be updated again"));
        return finish(kExitNeedsRecovery);
    }
    if (!answer.isEmpty())
        say(answer);
    return finish(identified ? kExitOk : exitStatus);
}

// Why the server's catalogue is not in use.
QString catalogueTrouble(const CatalogueListing &listing)
{
    return listing.catalogueRefused ? QStringLiteral("refused") : QStringLiteral("unreachable");
}

int commandVersions(const Options &o, QJsonValue *document)
{
    const CatalogueListing listing = refreshCatalogue(serverBase(o), o.offline, kSettleTimeoutMs);
    int numberWidth = 0;
    int descriptionWidth = 0;
    QJsonArray array;
    for (const VersionEntry &v : listing.versions) {
        numberWidth = qMax(numberWidth, v.number.size());
        descriptionWidth = qMax(descriptionWidth, v.description.size());
        array.append(QJsonObject{{QStringLiteral("number"), v.number},
                                 {QStringLiteral("description"), v.description},
                                 {QStringLiteral("date"), v.date},
                                 {QStringLiteral("filename"), v.filename},
                                 {QStringLiteral("path"), v.path}});
    }
    *document = array;
    if (!o.json) {
        for (const VersionEntry &v : listing.versions)
            printOut(v.number.leftJustified(numberWidth + 2) + v.description.leftJustified(descriptionWidth + 2)
                     + v.path);
    }
    if (!o.offline && !listing.catalogueReached) {
        printErr(QStringLiteral("catalogue %1 at %2; listed the versions already stored")
                     .arg(catalogueTrouble(listing),
                          serverBase(o).toString()));
        return kExitCatalogueUnreachable;
    }
    if (listing.versions.isEmpty())
        printErr(QStringLiteral("no firmware version stored yet"));
    return kExitOk;
}

// The firmware to install: --file, or the newest (or named) version.
bool chooseFirmware(const Options &o, QString *path, QString *description, QString *number, int *exitStatus)
{
    if (!o.file.isEmpty()) {
        if (!firmwareUsable(o.file, exitStatus))
            return false;
        *path = o.file;
        *description = QFileInfo(o.file).fileName();
        *number = FirmwareStore::versionOfFirmwareFile(o.file);
        return true;
    }
    const CatalogueListing listing = refreshCatalogue(serverBase(o), o.offline, kSettleTimeoutMs);
    const bool unreachable = !o.offline && !listing.catalogueReached;
    if (listing.versions.isEmpty()) {
        if (unreachable) {
            printErr(QStringLiteral("catalogue %1 at %2 and no firmware stored")
                         .arg(catalogueTrouble(listing),
                              serverBase(o).toString()));
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
    if (unreachable) {
        printErr(QStringLiteral("catalogue %1; using the versions already stored")
                     .arg(catalogueTrouble(listing)));
    }
    if (!firmwareUsable(chosen.path, exitStatus))
        return false;
    *path = chosen.path;
    *description = chosen.description;
    *number = chosen.number;
    return true;
}

// A version older than the running one only when the user named it.
bool downgradeAllowed(const Options &o, const QString &running, const QString &number, int *exitStatus)
{
    const bool named = !o.firmwareVersion.isEmpty() || !o.file.isEmpty();
    if (o.allowDowngrade || (named && !o.noDowngrade) || running == QLatin1String(workflow::kVersionRecovery))
        return true;
    QString refusal = downgradeRefusal(running, number);
    if (number.isEmpty())
        refusal = QStringLiteral("cannot tell the version of %1 from its name; pass --allow-downgrade").arg(o.file);
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
    const bool programmed =
        record.status == workflow::kStatusSuccess || record.status == workflow::kStatusUpdatedNotRestarted;
    report.baud = programmed ? record.baud : 0;
    report.verified = record.verified;
    if (programmed && o.baud > record.baud)
        printErr(QStringLiteral("the instrument or its line did not take %1 baud; programmed at %2 baud")
                     .arg(o.baud)
                     .arg(record.baud));
    if (!outcome.recordError.isEmpty())
        printErr(QStringLiteral("the update was not recorded in %1: %2")
                     .arg(updaterecord::filePath(), outcome.recordError));
}

// Runs an update or erase job and reports it as the window would.
int runJob(InstrumentSession &session, const Options &o, const QString &port, const QString &job, Report &report,
           bool erase = false)
{
    const bool bar = !o.progressLines && !o.json && stdoutIsTerminal();
    bool barDrawn = false;
    const int baud = o.baud == 0 ? Worker::kDefaultBaudRate : o.baud;
    const RunOutcome outcome = session.run(port, job, baud, kRunTimeoutMs, [&](int ticks) {
        if (o.progressLines) {
            printOut(QStringLiteral("@progress %1").arg(ticks));
        } else if (bar) {
            writeOut(QStringLiteral("\r%1 %2 blocks").arg(progressBar(ticks, kBarWidth)).arg(ticks));
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
        report.result = workflow::endText(outcome.status, erase);
        printErr(QStringLiteral("no result from the instrument on %1").arg(port));
        if (o.progressLines)
            printOut(QStringLiteral("@result -1 Update Failed"));
        return kExitFailed;
    }
    const QString text = workflow::endText(outcome.status, erase);
    report.result = text;
    if (o.progressLines)
        printOut(QStringLiteral("@result %1 %2").arg(outcome.status).arg(text));
    else
        say(text);
    if (outcome.status == workflow::kStatusSuccess || outcome.status == workflow::kStatusUpdatedNotRestarted)
        return kExitOk;
    if (outcome.status == workflow::kStatusRefused) {
        // Nothing was sent that changes the instrument; the reason says what to do.
        const QString reason = outcome.refusal.isEmpty() ? text : outcome.refusal;
        printErr(reason);
        const bool firmwareRefused
            = reason.startsWith(QLatin1String(workflow::kRefusalPrefix) + QLatin1String(workflow::kFirmwareCheckFailed));
        return firmwareRefused ? kExitFileUnreadable : kExitFailed;
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

int commandUpdate(const Options &o, Report &report, QJsonValue *document)
{
    QString firmware;
    QString description;
    QString number;
    int exitStatus = kExitOk;
    report.notUpdated(QStringLiteral("Update refused"));

    if (o.all) {
        *document = QJsonArray(); // one object per instrument, once they run
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
        if (!chooseFirmware(o, &firmware, &description, &number, &exitStatus))
            return exitStatus;
        installBuiltIns();
        FleetOptions fleet;
        fleet.verbose = o.verbose;
        // Each member checks its own running version against the chosen one.
        const bool named = !o.firmwareVersion.isEmpty() || !o.file.isEmpty();
        fleet.refuseDowngrade = !o.allowDowngrade && !named;
        fleet.baud = o.baud;
        fleet.verify = o.verify;
        fleet.json = o.json;
        fleet.virtualBridges = o.virtualBridges;
        QJsonArray outcomes;
        const int status = updateFleet(members, firmware, description, fleet, &outcomes);
        *document = outcomes;
        return status;
    }

    QString port;
    if (!resolvePort(o, &port, &exitStatus))
        return exitStatus;
    report.port = port;
    report.serialNumber = Controller::bridgeSerialNumber(port);
    if (!chooseFirmware(o, &firmware, &description, &number, &exitStatus))
        return exitStatus;
    report.firmwareFile = QFileInfo(firmware).fileName();

    InstrumentSession session;
    QString version;
    if (!readVersion(session, port, &version, &exitStatus)) {
        const bool answered = exitStatus == kExitNotIdentified;
        if (answered)
            report.versionBefore = version;
        report.notUpdated(QStringLiteral("Update refused"));
        if (o.progressLines)
            printOut(QStringLiteral("@version ") + (answered ? version : QStringLiteral("-")));
        else if (version == QLatin1String(workflow::kVersionUnknown))
            say(QStringLiteral("NVX7300 software is invalid"));
        return exitStatus;
    }
    report.versionBefore = version;
    report.notUpdated(QStringLiteral("Update refused"));
    if (o.progressLines) {
        printOut(QStringLiteral("@version ") + version);
    } else if (workflow::needsRecovery(version)) {
        say(QStringLiteral("NVX7300 must be updated again"));
        say(QStringLiteral("Update to ") + description + QStringLiteral(" (") + firmware + QLatin1Char(')'));
    } else {
        say(QStringLiteral("NVX7300 is currently running version ") + version);
        say(QStringLiteral("Update to ") + description + QStringLiteral(" (") + firmware + QLatin1Char(')'));
    }
    // Refused after the read, before anything is erased.
    if (!downgradeAllowed(o, version, number, &exitStatus)) {
        if (o.progressLines)
            printOut(QStringLiteral("@result -1 Update Failed"));
        return exitStatus;
    }
    session.setVerifyUpdates(o.verify);
    return runJob(session, o, port, firmware, report);
}

int commandErase(const Options &o, Report &report)
{
    int exitStatus = kExitOk;
    report.firmwareFile = QFileInfo(o.file).fileName();
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
    QString version;
    if (!readInstrument(session, port, &version, &exitStatus))
        return exitStatus;
    report.versionBefore = version;
    report.notUpdated(QStringLiteral("Erase refused"));
    const bool identified = version != QLatin1String(workflow::kVersionUnknown)
        && version != QLatin1String(workflow::kVersionBackupDamaged);
    if (!identified)
        printErr(QStringLiteral("the instrument on %1 was not identified: whatever its information memory holds "
                                "is lost by the erase")
                     .arg(port));
    if (!o.yes
        && !confirmed(QStringLiteral("Mass erase of the instrument on %1%2, then programming %3?")
                          .arg(port, identified ? QStringLiteral(" (its information memory is backed up first)")
                                                : QString(),
                               o.file))) {
        printErr(QStringLiteral("erase not confirmed; nothing was erased"));
        return kExitFailed;
    }
    if (!o.progressLines)
        say(QStringLiteral("Mass erase of %1, then programming %2").arg(port, o.file));
    return runJob(session, o, port, QStringLiteral("Erase") + o.file, report, true);
}

// "0x8000"; empty for none (-1).
QString hexAddress(qint64 address)
{
    return address < 0 ? QString()
                       : QStringLiteral("0x") + QString::number(address, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

// Is the instrument running exactly this firmware? Nothing is written: a
// read finds the password that opens it, and the comparison uses only that.
int commandVerify(const Options &o, QJsonValue *document)
{
    QString port, firmware, description, number, version;
    int exitStatus = kExitOk;
    VerifyOutcome outcome;
    auto finish = [&](int status) {
        const bool compared = outcome.result == bsl::kResultSuccess || outcome.firstDifference >= 0;
        *document = QJsonObject{
            {QStringLiteral("serialNumber"), textOrNull(Controller::bridgeSerialNumber(port))},
            {QStringLiteral("port"), textOrNull(port)},
            {QStringLiteral("version"), textOrNull(version)},
            {QStringLiteral("firmwareFile"), textOrNull(QFileInfo(firmware).fileName())},
            {QStringLiteral("identical"), compared ? QJsonValue(outcome.result == bsl::kResultSuccess) : QJsonValue()},
            {QStringLiteral("firstDifference"), textOrNull(hexAddress(outcome.firstDifference))}};
        return status;
    };
    if (!resolvePort(o, &port, &exitStatus) || !chooseFirmware(o, &firmware, &description, &number, &exitStatus))
        return finish(exitStatus);
    InstrumentSession session;
    if (!readVersion(session, port, &version, &exitStatus))
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
// life of the installation, so nothing of it is held. Lines that are not
// records are skipped with a warning.
int commandHistory(const Options &o)
{
    const QString path = updaterecord::filePath();
    // Wide enough for what the toolkit writes; a longer cell pushes its row along.
    const QVector<int> widths{19, 12, 14, 8, 8, 5, 7, 31, 0};
    int shown = 0;
    if (o.json)
        writeOut(QStringLiteral("["));
    else
        printOut(formatRow({QStringLiteral("TIME (UTC)"), QStringLiteral("SERIAL"), QStringLiteral("PORT"),
                            QStringLiteral("BEFORE"), QStringLiteral("AFTER"), QStringLiteral("BAUD"),
                            QStringLiteral("SECONDS"), QStringLiteral("FIRMWARE"), QStringLiteral("RESULT")},
                           widths));
    auto orDash = [](const QString &text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    QString error;
    const bool readable = updaterecord::read(
        path,
        [&](const UpdateRecord &r) {
            if (!o.serialNumber.isEmpty() && r.serialNumber != o.serialNumber)
                return;
            if (o.json)
                writeOut((shown > 0 ? QStringLiteral(",") : QString())
                         + QString::fromUtf8(QJsonDocument(r.toJson()).toJson(QJsonDocument::Compact)));
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
        printOut(QStringLiteral("]"));
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
    if (!parseArguments(QCoreApplication::arguments(), &o, &error)) {
        printErr(error + QStringLiteral("; see nvx7300ctl --help"));
        return kExitUsage;
    }
    if (o.help) {
        writeOut(helpText());
        return kExitOk;
    }
    if (o.showProgramVersion) {
        printOut(QStringLiteral("nvx7300ctl ") + QCoreApplication::applicationVersion());
        if (catalogue::builtInPublicKey().isEmpty())
            printOut(QStringLiteral("no catalogue key: this build accepts unsigned catalogues (development only)"));
        return kExitOk;
    }
    // Taken from the folder the user started in: installing the built-in
    // files moves the working directory into the firmware folder.
    if (!o.file.isEmpty())
        o.file = QFileInfo(o.file).absoluteFilePath();
    g_verbose = o.verbose;
    g_started.start();
    takeStandardOutput(o.verbose);
    if (o.json && !o.progressLines)
        keepStandardOutputForJson();
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

    QJsonValue document(QJsonValue::Undefined); // set by the commands that print one at the end
    Report report;
    int exitStatus = kExitUsage;
    switch (o.command) {
    case Command::List:
        exitStatus = commandList(o, &document);
        break;
    case Command::Version:
        exitStatus = commandVersion(o, &document);
        break;
    case Command::Versions:
        exitStatus = commandVersions(o, &document);
        break;
    case Command::Update:
        exitStatus = commandUpdate(o, report, &document);
        if (!o.all)
            document = report.toJson();
        break;
    case Command::Erase:
        exitStatus = commandErase(o, report);
        document = report.toJson();
        break;
    case Command::History:
        exitStatus = commandHistory(o); // prints as it reads
        break;
    case Command::Verify:
        exitStatus = commandVerify(o, &document);
        break;
    case Command::None:
        break;
    }
    if (document.isObject()) {
        QJsonObject object = document.toObject();
        object.insert(QStringLiteral("exitStatus"), exitStatus);
        if (exitStatus != kExitOk && !lastError().isEmpty())
            object.insert(QStringLiteral("error"), lastError());
        document = object;
    }
    // A child of update --all hands its report to the parent; --json prints the document.
    if (o.progressLines && o.command == Command::Update)
        printOut(QStringLiteral("@report ") + QString::fromUtf8(QJsonDocument(document.toObject()).toJson(QJsonDocument::Compact)));
    else if (o.json && !document.isUndefined())
        printOut(QString::fromUtf8(document.isArray() ? QJsonDocument(document.toArray()).toJson(QJsonDocument::Compact)
                                                      : QJsonDocument(document.toObject()).toJson(QJsonDocument::Compact))
                     .trimmed());
    return exitStatus;
}
