// nvx7300ctl: the toolkit's updates without the window, for service benches,
// production lines and scripts. Same controller, discovery and catalogue as
// the window; see --help. The entry point is nvx7300ctl.cpp.

#include "cataloguesession.h"
#include "cataloguetrust.h"
#include "comportcomboboxmanagement.h"
#include "comportmodel.h"
#include "ctloptions.h"
#include "ctlprogram.h"
#include "firmwarecheck.h"
#include "fleetupdate.h"
#include "instrumentsession.h"
#include "terminal.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"
#include "virtualinstruments.h"
#include "worker.h"

#include <QCoreApplication>
#include <QDir>
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
constexpr int kStatusSuccess = 100;
constexpr int kStatusPortFailed = 1;
constexpr int kStatusRefused = 0;
const char kFirmwareRefusal[] = "Update refused: firmware file check failed";

bool g_verbose = false;

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
        printErr(QLatin1String(kFirmwareRefusal) + QStringLiteral(": ") + check.reason + QStringLiteral(" (") + path
                 + QLatin1Char(')'));
        return false;
    }
    *exitStatus = kExitOk;
    return true;
}

int commandList(const Options &o)
{
    const QList<Attached> attached = attachedInstruments();
    if (o.json) {
        QJsonArray array;
        for (const Attached &a : attached)
            array.append(QJsonObject{{QStringLiteral("serialNumber"), a.serialNumber},
                                     {QStringLiteral("port"), a.port},
                                     {QStringLiteral("description"), a.description}});
        printOut(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
    } else {
        for (const Attached &a : attached)
            printOut(a.serialNumber + QLatin1Char('\t') + a.port + QLatin1Char('\t') + a.description);
    }
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
    if (read.version == QLatin1String(Worker::kPortBusyVersion)
        || read.version == QLatin1String(Worker::kPortNotPermittedVersion)
        || read.version == QLatin1String(Worker::kNotConnectedVersion)) {
        PortProblem problem = diagnosePort(port);
        if (read.version == QLatin1String(Worker::kNotConnectedVersion) && problem.exitStatus != kExitNoInstrument)
            problem = {kExitNoInstrument,
                       QStringLiteral("no answer from the NVX7300 on %1; switch it on and check its cable").arg(port)};
        printErr(problem.reason);
        *exitStatus = problem.exitStatus;
        return false;
    }
    if (read.version == QLatin1String(Worker::kFilesUnusableVersion)) {
        printErr(QStringLiteral("the instrument on %1 could not be read: this computer cannot write or read the "
                                "toolkit's own files in %2 (see --verbose for which)")
                     .arg(port, QDir::toNativeSeparators(VersionComboBoxManagement::firmwareDirectory())));
        *exitStatus = kExitFileUnreadable;
        return false;
    }
    if (read.version == QLatin1String(Worker::kRecoveryFromOlderBackupVersion))
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
    if (*version == QLatin1String(Worker::kUnknownVersion)) {
        printErr(QStringLiteral("the instrument on %1 was not identified: no stored password opens it, "
                                "or it is not an NVX7300")
                     .arg(port));
        *exitStatus = kExitNotIdentified;
        return false;
    }
    if (*version == QLatin1String(Worker::kBackupDamagedVersion)) {
        printErr(QStringLiteral("the instrument on %1 has lost its information memory and its backup failed its "
                                "check, so nothing can restore it; keep the backup files for service")
                     .arg(port));
        *exitStatus = kExitNotIdentified;
        return false;
    }
    return true;
}

bool needsRecovery(const QString &version)
{
    return version == QLatin1String(Worker::kRecoveryVersion)
        || version == QLatin1String(Worker::kRecoveryFromOlderBackupVersion);
}

int commandVersion(const Options &o)
{
    QString port;
    int exitStatus = kExitOk;
    if (!resolvePort(o, &port, &exitStatus))
        return exitStatus;
    InstrumentSession session;
    QString version;
    const bool identified = readVersion(session, port, &version, &exitStatus);
    if (identified && needsRecovery(version)) {
        printOut(QStringLiteral("NVX7300 must be updated again"));
        return kExitNeedsRecovery;
    }
    // The instrument's own answer only; why a read never reached it is on standard error.
    if (identified || exitStatus == kExitNotIdentified)
        printOut(version);
    return identified ? kExitOk : exitStatus;
}

// Why the server's catalogue is not in use.
QString catalogueTrouble(const CatalogueListing &listing)
{
    return listing.catalogueRefused ? QStringLiteral("refused") : QStringLiteral("unreachable");
}

int commandVersions(const Options &o)
{
    const CatalogueListing listing = refreshCatalogue(serverBase(o), o.offline, kSettleTimeoutMs);
    int numberWidth = 0;
    int descriptionWidth = 0;
    for (const VersionEntry &v : listing.versions) {
        numberWidth = qMax(numberWidth, v.number.size());
        descriptionWidth = qMax(descriptionWidth, v.description.size());
    }
    for (const VersionEntry &v : listing.versions)
        printOut(v.number.leftJustified(numberWidth + 2) + v.description.leftJustified(descriptionWidth + 2) + v.path);
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
        *number = versionOfFirmwareFile(o.file);
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
    if (o.allowDowngrade || (named && !o.noDowngrade) || running == QLatin1String(Worker::kRecoveryVersion))
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

// An erase run's own end text.
QString eraseText(int status)
{
    if (status == kStatusSuccess)
        return QStringLiteral("Erase Complete");
    if (status == kStatusRefused)
        return QStringLiteral("Erase refused");
    if (status > kStatusSuccess)
        return QStringLiteral("Erase Failed");
    return windowText(status);
}

// Runs an update or erase job and reports it as the window would.
int runJob(InstrumentSession &session, const Options &o, const QString &port, const QString &job, bool erase = false)
{
    const bool bar = !o.progressLines && stdoutIsTerminal();
    bool barDrawn = false;
    const RunOutcome outcome = session.run(port, job, kRunTimeoutMs, [&](int ticks) {
        if (o.progressLines) {
            printOut(QStringLiteral("@progress %1").arg(ticks));
        } else if (bar) {
            writeOut(QStringLiteral("\r%1 %2 blocks").arg(progressBar(ticks, kBarWidth)).arg(ticks));
            barDrawn = true;
        }
    });
    if (barDrawn)
        writeOut(QStringLiteral("\n"));
    if (outcome.status < 0) {
        printErr(QStringLiteral("no result from the instrument on %1").arg(port));
        if (o.progressLines)
            printOut(QStringLiteral("@result -1 Update Failed"));
        return kExitFailed;
    }
    const QString text = erase ? eraseText(outcome.status) : windowText(outcome.status);
    printOut(o.progressLines ? QStringLiteral("@result %1 %2").arg(outcome.status).arg(text) : text);
    if (outcome.status == kStatusSuccess || outcome.status == Worker::kStatusUpdatedNotRestarted)
        return kExitOk;
    if (outcome.status == kStatusRefused) {
        // Nothing was sent that changes the instrument; the reason says what to do.
        const QString reason = outcome.refusal.isEmpty() ? text : outcome.refusal;
        printErr(reason);
        return reason.startsWith(QLatin1String(kFirmwareRefusal)) ? kExitFileUnreadable : kExitFailed;
    }
    if (outcome.status == kStatusPortFailed) {
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

int commandUpdate(const Options &o)
{
    QString firmware;
    QString description;
    QString number;
    int exitStatus = kExitOk;

    if (o.all) {
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
        // Each member checks its own running version against the chosen one.
        const bool named = !o.firmwareVersion.isEmpty() || !o.file.isEmpty();
        return updateFleet(members, firmware, description, o.verbose, !o.allowDowngrade && !named);
    }

    QString port;
    if (!resolvePort(o, &port, &exitStatus))
        return exitStatus;
    if (!chooseFirmware(o, &firmware, &description, &number, &exitStatus))
        return exitStatus;

    InstrumentSession session;
    QString version;
    if (!readVersion(session, port, &version, &exitStatus)) {
        const bool answered = exitStatus == kExitNotIdentified;
        if (o.progressLines)
            printOut(QStringLiteral("@version ") + (answered ? version : QStringLiteral("-")));
        else if (version == QLatin1String(Worker::kUnknownVersion))
            printOut(QStringLiteral("NVX7300 software is invalid"));
        return exitStatus;
    }
    if (o.progressLines) {
        printOut(QStringLiteral("@version ") + version);
    } else if (needsRecovery(version)) {
        printOut(QStringLiteral("NVX7300 must be updated again"));
        printOut(QStringLiteral("Update to ") + description + QStringLiteral(" (") + firmware + QLatin1Char(')'));
    } else {
        printOut(QStringLiteral("NVX7300 is currently running version ") + version);
        printOut(QStringLiteral("Update to ") + description + QStringLiteral(" (") + firmware + QLatin1Char(')'));
    }
    // Refused after the read, before anything is erased.
    if (!downgradeAllowed(o, version, number, &exitStatus)) {
        if (o.progressLines)
            printOut(QStringLiteral("@result -1 Update Failed"));
        return exitStatus;
    }
    return runJob(session, o, port, firmware);
}

int commandErase(const Options &o)
{
    int exitStatus = kExitOk;
    if (!firmwareUsable(o.file, &exitStatus))
        return exitStatus;
    QString port;
    if (!resolvePort(o, &port, &exitStatus))
        return exitStatus;
    InstrumentSession session;
    // The erase takes the information memory with it: the read lets the job
    // back it up first, and shows whether there is any to keep.
    QString version;
    if (!readInstrument(session, port, &version, &exitStatus))
        return exitStatus;
    const bool identified = version != QLatin1String(Worker::kUnknownVersion)
        && version != QLatin1String(Worker::kBackupDamagedVersion);
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
        printOut(QStringLiteral("Mass erase of %1, then programming %2").arg(port, o.file));
    return runJob(session, o, port, QStringLiteral("Erase") + o.file, true);
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
    takeStandardOutput(o.verbose);
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
    }

    switch (o.command) {
    case Command::List:
        return commandList(o);
    case Command::Version:
        return commandVersion(o);
    case Command::Versions:
        return commandVersions(o);
    case Command::Update:
        return commandUpdate(o);
    case Command::Erase:
        return commandErase(o);
    case Command::None:
        break;
    }
    return kExitUsage;
}
