#include "ctloptions.h"

#include "engineresult.h"

#include <algorithm>
#include <iterator>

#include <QVector>

namespace nvxctl {

namespace {

constexpr int kMaxVirtualInstruments = 16; // ptys are cheap, but a typo should not open hundreds

// Each command with its synopsis and what it does, as --help shows them.
struct CommandEntry
{
    const char *name;
    Command command;
    const char *help;
};

const CommandEntry kCommands[] = {
    {"list", Command::List,
     "  list                              attached instruments: serial number, port, description\n"},
    {"version", Command::Version,
     "  version [--port P]                the firmware version the instrument runs, or \"Unknown\"\n"},
    {"versions", Command::Versions,
     "  versions [--catalogue-url URL] [--offline]\n"
     "                                    refresh the catalogue and list the versions present,\n"
     "                                    newest first: number, description, file\n"},
    {"update", Command::Update,
     "  update [--port P] [--version NUMBER | --file PATH] [--reinstall] [--catalogue-url URL]\n"
     "         [--offline]\n"
     "                                    read the instrument, then install the newest (or the\n"
     "                                    named) version; NUMBER is \"1.208\" or the full number.\n"
     "                                    An instrument running the newest version is up to date:\n"
     "                                    nothing is erased unless a version is named or\n"
     "                                    --reinstall is given.\n"
     "                                    A version older than the running one is installed only\n"
     "                                    when named, or with --allow-downgrade; --no-downgrade\n"
     "                                    refuses it even from --file (named 731-MMM-NNN-...)\n"
     "  update ... --restore-backup FILE [--yes]\n"
     "                                    service: an instrument left erased whose backup failed\n"
     "                                    its check gets the information memory FILE holds; shows\n"
     "                                    what it holds and asks first (unless --yes)\n"
     "  update --all [--ports P1,P2,...] [--version NUMBER | --file PATH] ...\n"
     "                                    update every attached instrument (or the ports named)\n"
     "                                    at the same time, one process each, then a summary\n"
     "                                    with the versions before and after; those up to date\n"
     "                                    are left as they are\n"},
    {"erase", Command::Erase,
     "  erase [--port P] --file PATH [--yes]\n"
     "                                    service run: read and back up the instrument's\n"
     "                                    information memory, ask (unless --yes), mass erase,\n"
     "                                    then program PATH\n"},
    {"history", Command::History,
     "  history [--serial S]              the record of every update and erase made on this\n"
     "                                    computer (window and nvx7300ctl), oldest first; with\n"
     "                                    --serial only those of the bridge S\n"},
    {"verify", Command::Verify,
     "  verify [--port P] (--version NUMBER | --file PATH)\n"
     "                                    is the instrument running exactly this firmware? Reads\n"
     "                                    it, opens its loader with the password that read found\n"
     "                                    and compares every byte the file holds; changes nothing.\n"
     "                                    Exit 0 identical, 1 different (the first address that\n"
     "                                    differs is printed)\n"},
};

constexpr unsigned bit(Command command)
{
    return 1u << unsigned(command);
}
constexpr unsigned kEveryCommand = ~0u;

// The options --help lists, with the commands they belong to.
const struct {
    unsigned commands;
    const char *help;
} kOptions[] = {
    {kEveryCommand,
     "  --virtual-instrument[=N]  start N virtual instruments (default 1) on pseudo-terminals,\n"
     "                            listed as VIRTUAL1..N, running firmware 1.10\n"},
    {bit(Command::Versions) | bit(Command::Update) | bit(Command::Verify),
     "  --catalogue-url URL       folder of the catalogue, e.g. http://127.0.0.1:8731/731\n"
     "  --offline                 install the built-in files and use only what is stored\n"},
    {bit(Command::Update) | bit(Command::Erase) | bit(Command::Verify),
     "  --baud RATE               update, erase: program at 19200 or 38400 baud where the\n"
     "                            instrument's loader and the line take it (checked before the\n"
     "                            erase), otherwise at 9600 (the default); verify: compare\n"
     "                            at that rate\n"},
    {bit(Command::Update),
     "  --verify                  update: read back every block the firmware file holds once\n"
     "                            it is programmed and compare it; a difference fails the\n"
     "                            programming, which runs once more from the backup, and the\n"
     "                            update record says the update was verified\n"},
    {bit(Command::Update),
     "  --reinstall               update: install the newest version even on an instrument that\n"
     "                            runs it already\n"},
    {kEveryCommand,
     "  --json                    one JSON document on standard output, nothing else there, also\n"
     "                            when the command fails: an object with exitStatus, error (null\n"
     "                            on success) and the command's fields (see the man page)\n"
     "  --verbose                 diagnostic messages on standard error\n"
     "  -h, --help                this text; COMMAND --help: that command's\n"},
};

const CommandEntry *entryNamed(const QString &name)
{
    for (const CommandEntry &entry : kCommands) {
        if (name == QLatin1String(entry.name))
            return &entry;
    }
    return nullptr;
}

bool commandFromName(const QString &name, Command *command)
{
    const CommandEntry *entry = entryNamed(name);
    if (entry)
        *command = entry->command;
    return entry != nullptr;
}

bool isCommandName(const QString &text)
{
    return entryNamed(text) != nullptr;
}

// Edits (insert, delete, change, swap two neighbours) between a and b.
int editDistance(const QString &a, const QString &b)
{
    QVector<QVector<int>> d(a.size() + 1, QVector<int>(b.size() + 1));
    for (int i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (int j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (int i = 1; i <= a.size(); ++i) {
        for (int j = 1; j <= b.size(); ++j) {
            const int change = a.at(i - 1) == b.at(j - 1) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a.at(i - 1) == b.at(j - 2) && a.at(i - 2) == b.at(j - 1))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// " (did you mean "update"?)" for a command two edits away at most; empty when none is that near.
QString suggestionFor(const QString &typed)
{
    constexpr int kMaxEdits = 2;
    const CommandEntry *nearest = nullptr;
    int best = kMaxEdits + 1;
    for (const CommandEntry &entry : kCommands) {
        const int edits = editDistance(typed.toLower(), QLatin1String(entry.name));
        if (edits < best) {
            best = edits;
            nearest = &entry;
        }
    }
    return nearest ? QStringLiteral(" (did you mean \"%1\"?)").arg(QLatin1String(nearest->name)) : QString();
}

bool parse(const QStringList &arguments, Options &o, QString *error)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString arg = arguments.at(i);
        if (!arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            if (o.command != Command::None) {
                *error = QStringLiteral("unexpected argument \"%1\"").arg(arg);
                return false;
            }
            if (!commandFromName(arg, &o.command)) {
                *error = QStringLiteral("unknown command \"%1\"").arg(arg) + suggestionFor(arg);
                return false;
            }
            continue;
        }
        if (arg == QLatin1String("-h")) {
            o.help = true;
            continue;
        }
        if (!arg.startsWith(QLatin1String("--"))) {
            *error = QStringLiteral("unknown option \"%1\"").arg(arg);
            return false;
        }
        const int equals = arg.indexOf(QLatin1Char('='));
        const QString name = arg.mid(2, equals < 0 ? -1 : equals - 2);
        const bool hasInlineValue = equals >= 0;
        const QString inlineValue = hasInlineValue ? arg.mid(equals + 1) : QString();
        const bool nextIsValue = i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1Char('-'));

        // Options that need a value take "=value" or the next argument.
        auto takeValue = [&](QString *target) {
            if (hasInlineValue) {
                *target = inlineValue;
            } else if (nextIsValue) {
                *target = arguments.at(++i);
            } else {
                *error = QStringLiteral("option --%1 needs a value").arg(name);
                return false;
            }
            if (target->isEmpty()) {
                *error = QStringLiteral("option --%1 needs a value").arg(name);
                return false;
            }
            return true;
        };
        auto noValue = [&](bool *flag) {
            if (hasInlineValue) {
                *error = QStringLiteral("option --%1 takes no value").arg(name);
                return false;
            }
            *flag = true;
            return true;
        };

        bool ok = true;
        if (name == QLatin1String("help")) {
            ok = noValue(&o.help);
        } else if (name == QLatin1String("version")) {
            // With a value it names the firmware to install; alone it asks for
            // this program's version.
            if (hasInlineValue || (nextIsValue && !isCommandName(arguments.at(i + 1))))
                ok = takeValue(&o.firmwareVersion);
            else
                o.showProgramVersion = true;
        } else if (name == QLatin1String("verbose")) {
            ok = noValue(&o.verbose);
        } else if (name == QLatin1String("json")) {
            ok = noValue(&o.json);
        } else if (name == QLatin1String("offline")) {
            ok = noValue(&o.offline);
        } else if (name == QLatin1String("all")) {
            ok = noValue(&o.all);
        } else if (name == QLatin1String("yes")) {
            ok = noValue(&o.yes);
        } else if (name == QLatin1String("verify")) {
            ok = noValue(&o.verify);
        } else if (name == QLatin1String("progress-lines")) {
            ok = noValue(&o.progressLines);
        } else if (name == QLatin1String("allow-downgrade")) {
            ok = noValue(&o.allowDowngrade);
        } else if (name == QLatin1String("no-downgrade")) {
            ok = noValue(&o.noDowngrade);
        } else if (name == QLatin1String("reinstall")) {
            ok = noValue(&o.reinstall);
        } else if (name == QLatin1String("keep-current")) {
            ok = noValue(&o.keepCurrent);
        } else if (name == QLatin1String("virtual-instrument")) {
            QString count = QStringLiteral("1");
            if (hasInlineValue)
                count = inlineValue;
            else if (nextIsValue && !isCommandName(arguments.at(i + 1)))
                count = arguments.at(++i);
            bool isNumber = false;
            o.virtualInstruments = count.toInt(&isNumber);
            if (!isNumber || o.virtualInstruments < 1 || o.virtualInstruments > kMaxVirtualInstruments) {
                *error = QStringLiteral("--virtual-instrument takes a count from 1 to %1").arg(kMaxVirtualInstruments);
                return false;
            }
        } else if (name == QLatin1String("port")) {
            ok = takeValue(&o.port);
        } else if (name == QLatin1String("ports")) {
            QString list;
            ok = takeValue(&list);
            if (ok) {
                o.ports = list.split(QLatin1Char(','), Qt::SkipEmptyParts);
                if (o.ports.isEmpty()) {
                    *error = QStringLiteral("option --ports needs at least one port");
                    return false;
                }
            }
        } else if (name == QLatin1String("baud")) {
            QString rate;
            ok = takeValue(&rate);
            if (ok) {
                o.baud = rate.toInt();
                if (std::find(std::begin(bsl::kLineRates), std::end(bsl::kLineRates), o.baud) == std::end(bsl::kLineRates)) {
                    *error = QStringLiteral("--baud takes 9600, 19200 or 38400");
                    return false;
                }
            }
        } else if (name == QLatin1String("virtual-bridges")) {
            QString list;
            ok = takeValue(&list);
            o.virtualBridges = list.split(QLatin1Char(','), Qt::SkipEmptyParts);
        } else if (name == QLatin1String("serial")) {
            ok = takeValue(&o.serialNumber);
        } else if (name == QLatin1String("file")) {
            ok = takeValue(&o.file);
        } else if (name == QLatin1String("restore-backup")) {
            ok = takeValue(&o.restoreBackup);
        } else if (name == QLatin1String("catalogue-url")) {
            ok = takeValue(&o.catalogueUrl);
        } else {
            *error = QStringLiteral("unknown option \"--%1\"").arg(name);
            return false;
        }
        if (!ok)
            return false;
    }

    if (o.help || o.showProgramVersion)
        return true;
    if (o.command == Command::None) {
        *error = QStringLiteral("no command given (list, version, versions, update, erase, history, verify)");
        return false;
    }
    if (o.verify && o.command != Command::Update) {
        *error = QStringLiteral("--verify belongs to update; to compare an instrument with a file, use verify");
        return false;
    }
    if (o.command == Command::Verify && o.firmwareVersion.isEmpty() && o.file.isEmpty()) {
        *error = QStringLiteral("verify needs --version NUMBER or --file PATH, the firmware to compare with");
        return false;
    }
    if (!o.firmwareVersion.isEmpty() && !o.file.isEmpty()) {
        *error = QStringLiteral("give either --version or --file, not both");
        return false;
    }
    if (o.all && o.command != Command::Update) {
        *error = QStringLiteral("--all belongs to update");
        return false;
    }
    if (!o.ports.isEmpty() && !o.all) {
        *error = QStringLiteral("--ports belongs to update --all; use --port for one instrument");
        return false;
    }
    if (o.all && !o.port.isEmpty()) {
        *error = QStringLiteral("give either --all or --port, not both");
        return false;
    }
    if (!o.restoreBackup.isEmpty() && (o.command != Command::Update || o.all)) {
        *error = QStringLiteral("--restore-backup belongs to update of one instrument");
        return false;
    }
    if (o.yes && o.command != Command::Erase && o.restoreBackup.isEmpty()) {
        *error = QStringLiteral("--yes belongs to erase and update --restore-backup");
        return false;
    }
    if (o.command == Command::Erase && o.file.isEmpty()) {
        *error = QStringLiteral("erase needs --file PATH, the firmware programmed after the erase");
        return false;
    }
    if ((o.allowDowngrade || o.noDowngrade) && o.command != Command::Update) {
        *error = QStringLiteral("--allow-downgrade and --no-downgrade belong to update");
        return false;
    }
    if ((o.reinstall || o.keepCurrent) && o.command != Command::Update) {
        *error = QStringLiteral("--reinstall belongs to update");
        return false;
    }
    if (o.allowDowngrade && o.noDowngrade) {
        *error = QStringLiteral("give either --allow-downgrade or --no-downgrade, not both");
        return false;
    }
    if (o.baud != 0 && o.command != Command::Update && o.command != Command::Erase && o.command != Command::Verify) {
        *error = QStringLiteral("--baud belongs to update, erase and verify");
        return false;
    }
    if (!o.serialNumber.isEmpty() && o.command != Command::History) {
        *error = QStringLiteral("--serial belongs to history");
        return false;
    }
    if (!o.firmwareVersion.isEmpty() && o.command != Command::Update && o.command != Command::Verify) {
        *error = QStringLiteral("--version NUMBER belongs to update and verify");
        return false;
    }
    // A named version is installed as asked; the newest is left alone where it runs already.
    if (o.command == Command::Update)
        o.keepCurrent = (o.keepCurrent || (o.firmwareVersion.isEmpty() && o.file.isEmpty())) && !o.reinstall;
    return true;
}

} // namespace

bool parseArguments(const QStringList &arguments, Options *options, QString *error)
{
    Options o;
    if (!parse(arguments, o, error)) {
        // Even a command line that cannot be used is answered in JSON when that was asked for.
        o = Options();
        o.json = arguments.contains(QStringLiteral("--json"));
        *options = o;
        return false;
    }
    *options = o;
    return true;
}

QString helpText(Command command)
{
    const unsigned wanted = command == Command::None ? kEveryCommand : bit(command);
    QString commands;
    for (const CommandEntry &entry : kCommands) {
        if (bit(entry.command) & wanted)
            commands += QLatin1String(entry.help);
    }
    QString options;
    for (const auto &option : kOptions) {
        if (option.commands & wanted)
            options += QLatin1String(option.help);
    }
    if (command != Command::None)
        return QStringLiteral("Usage:\n") + commands + QStringLiteral("\nOptions (before or after the command):\n")
               + options + QStringLiteral("\nExit statuses and the update record: nvx7300ctl --help\n");
    return QStringLiteral("Usage: nvx7300ctl [options] COMMAND [options]\n"
                          "\n"
                          "Updates NVX7300 instruments without the window, with the same engine, instrument\n"
                          "discovery and firmware catalogue (and the same per-user firmware folder).\n"
                          "\n"
                          "Commands:\n")
           + commands
           + QStringLiteral("\n"
                            "Without --port, version, update, erase and verify use the only attached instrument;\n"
                            "COMMAND --help shows that command alone.\n"
                            "\n"
                            "Options (before or after the command):\n")
           + options
           + QStringLiteral(
               "  --version                 (without a value) the program's version\n"
               "\n"
               "Exit status:\n"
               "  0  success (update: \"Update Complete\", or up to date; version: the instrument was\n"
               "     identified)\n"
               "  1  the update or erase failed or was refused (the reason on standard error),\n"
               "     or with --all at least one instrument failed\n"
               "  2  wrong command line\n"
               "  3  no instrument attached, or none at the named port\n"
               "  4  serial port busy, or not permitted (install the udev rule)\n"
               "  5  instrument not identified (version \"Unknown\")\n"
               "  6  unknown version, or no firmware version available (update: none as new as the\n"
               "     running one, see --allow-downgrade)\n"
               "  7  catalogue unreachable, its answer refused, or the firmware folder kept busy by\n"
               "     another process (versions: the stored list is shown; update: up to date only\n"
               "     with the versions stored)\n"
               "  8  firmware file unreadable or damaged (\"Update refused: firmware file check failed\"),\n"
               "     or the toolkit's folder or its files cannot be written or read (read-only, another\n"
               "     user's, full; no home folder)\n"
               "  9  the instrument is left erased and must be updated again (version: found so;\n"
               "     update, erase: the run stopped after its erase began)\n"
               "  128+N  stopped by signal N; during an erase and programming the signal waits until\n"
               "     the instrument is written and verified\n"
               "\n"
               "Every update and erase appends one JSON line to updates.jsonl beside the log file\n"
               "(~/.local/share/ostrel/NVX7300 Toolkit/ on Linux): UTC time, bridge serial number, port,\n"
               "versions before and after, firmware file and its sha256, result, seconds, whether a\n"
               "backup was restored, the line rate, and whether the update was verified. A line \"started\" goes out before the erase;\n"
               "a run that never ended is completed by the next read of that instrument, and history\n"
               "shows it as interrupted with what that read found.\n");
}

} // namespace nvxctl
