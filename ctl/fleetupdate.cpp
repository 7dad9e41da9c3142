#include "fleetupdate.h"

#include "ctloptions.h"
#include "jobguard.h"
#include "jsondocument.h"
#include "terminal.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QVector>

#include <memory>

namespace nvxctl {

namespace {

constexpr int kBarWidth = 30;
const char kErrorPrefix[] = "nvx7300ctl: ";

// What the children's "@" report lines and exit status say about one member.
struct MemberState
{
    QString versionBefore;
    int ticks = 0;
    int total = 0;        // the ticks the job reports in all; 0 while not known
    int status = -1;      // end status reported by the child, -1 before
    QString text;         // the window's text, or the child's error line
    int exitStatus = -1;  // of the child process
    bool finished = false;
    QJsonObject report;   // the child's own account, when it gave one

    // It ended well without a job: it runs the chosen version already.
    bool upToDate() const { return finished && exitStatus == kExitOk && status < 0; }
};

struct Child
{
    FleetMember member;
    MemberState state;
    std::unique_ptr<QProcess> process;
    QByteArray pendingOut;
    QString lastError;
};

QString label(const FleetMember &m)
{
    return m.serialNumber + QLatin1Char(' ') + m.port;
}

QString liveLine(const Child &c, int labelWidth)
{
    QString line = label(c.member).leftJustified(labelWidth) + QLatin1String("  ");
    if (c.state.finished)
        return line + c.state.text;
    if (c.state.ticks > 0)
        return line + progressBar(c.state.ticks, c.state.total, kBarWidth);
    if (!c.state.versionBefore.isEmpty())
        return line + QStringLiteral("running version ") + c.state.versionBefore;
    return line + QStringLiteral("reading");
}

// Applies one "@" report line; returns true when it changed what is shown.
bool applyReport(MemberState &state, const QString &line)
{
    if (line.startsWith(QLatin1String("@version "))) {
        state.versionBefore = line.mid(9);
        return true;
    }
    if (line.startsWith(QLatin1String("@progress "))) {
        // "@progress <ticks> <total>"
        const QStringList counts = line.mid(10).split(QLatin1Char(' '));
        state.ticks = counts.value(0).toInt();
        state.total = counts.value(1).toInt();
        return true;
    }
    if (line.startsWith(QLatin1String("@report "))) {
        const QJsonDocument document = QJsonDocument::fromJson(line.mid(8).toUtf8());
        state.report = document.object();
        return false;
    }
    if (line.startsWith(QLatin1String("@result "))) {
        const QString rest = line.mid(8);
        const int space = rest.indexOf(QLatin1Char(' '));
        state.status = rest.left(space).toInt();
        state.text = space < 0 ? QString() : rest.mid(space + 1);
        return true;
    }
    return false;
}

// The member's object for --json: the child's report where it gave one,
// completed with what the parent saw, and how the child ended.
QJsonObject outcomeOf(const Child &c, const QString &firmwareFile)
{
    QJsonObject o = c.state.report;
    const auto fill = [&o](const QString &key, const QJsonValue &value) {
        if (!o.contains(key) || o.value(key).isNull())
            o.insert(key, value);
    };
    QJsonObject seen; // what the child's lines said before it could report
    jsondocument::putVersion(seen, QStringLiteral("versionBefore"),
                             c.state.versionBefore == QLatin1String("-") ? QString() : c.state.versionBefore, true);
    fill(QStringLiteral("serialNumber"), c.member.serialNumber == QLatin1String("-") ? QJsonValue(QJsonValue::Null)
                                                                                      : QJsonValue(c.member.serialNumber));
    fill(QStringLiteral("port"), c.member.port);
    fill(QStringLiteral("versionBefore"), seen.value(QStringLiteral("versionBefore")));
    fill(QStringLiteral("state"), seen.value(QStringLiteral("state")));
    fill(QStringLiteral("versionAfter"), QJsonValue(QJsonValue::Null));
    fill(QStringLiteral("firmwareFile"), QFileInfo(firmwareFile).fileName());
    fill(QStringLiteral("versionNumber"), jsondocument::textOrNull(jsondocument::numberOfFirmwareFile(firmwareFile)));
    fill(QStringLiteral("result"), c.state.text);
    fill(QStringLiteral("status"), c.state.status);
    fill(QStringLiteral("seconds"), 0);
    fill(QStringLiteral("baud"), 0);
    o.insert(QStringLiteral("exitStatus"), c.state.exitStatus);
    // A failed child's own reason, else what the parent saw of its end.
    if (c.state.exitStatus == kExitOk)
        o.insert(QStringLiteral("error"), QJsonValue(QJsonValue::Null));
    else
        fill(QStringLiteral("error"), c.state.text);
    return o;
}

} // namespace

int updateFleet(const QList<FleetMember> &members, const QString &firmwareFile, const QString &description,
                const FleetOptions &options, QJsonArray *outcomes)
{
    const bool verbose = options.verbose;
    // With --json standard output keeps the document; what people read goes to standard error.
    const bool live = !options.json && stdoutIsTerminal();
    QVector<Child *> children;
    std::vector<std::unique_ptr<Child>> owned;
    int labelWidth = 0;
    for (const FleetMember &m : members) {
        owned.push_back(std::make_unique<Child>());
        owned.back()->member = m;
        children.append(owned.back().get());
        labelWidth = qMax(labelWidth, label(m).size());
    }

    say(QStringLiteral("Updating %1 instrument(s) to %2").arg(members.size()).arg(description));
    bool drawn = false;
    auto redraw = [&] {
        if (!live)
            return;
        QString block;
        if (drawn)
            block += QStringLiteral("\x1b[%1A").arg(children.size());
        for (const Child *c : children)
            block += QStringLiteral("\r\x1b[2K") + liveLine(*c, labelWidth) + QLatin1Char('\n');
        writeOut(block);
        drawn = true;
    };

    // The children erase and program; a signal to the whole group waits with
    // them (each holds its own), so that the summary still comes.
    const bool guarded = workflow::jobguard::enter();
    QEventLoop loop;
    int running = 0;
    for (Child *c : children) {
        c->process = std::make_unique<QProcess>();
        QProcess *p = c->process.get();
        QStringList args{QStringLiteral("update"), QStringLiteral("--port"), c->member.port, QStringLiteral("--file"),
                         firmwareFile, QStringLiteral("--progress-lines")};
        if (verbose)
            args << QStringLiteral("--verbose");
        if (options.refuseDowngrade)
            args << QStringLiteral("--no-downgrade");
        if (options.keepCurrent)
            args << QStringLiteral("--keep-current");
        if (!options.virtualBridges.isEmpty())
            args << QStringLiteral("--virtual-bridges") << options.virtualBridges.join(QLatin1Char(','));
        if (options.baud != 0)
            args << QStringLiteral("--baud") << QString::number(options.baud);
        if (options.verify)
            args << QStringLiteral("--verify");

        QObject::connect(p, &QProcess::readyReadStandardOutput, &loop, [&, c, p] {
            c->pendingOut += p->readAllStandardOutput();
            int end;
            bool changed = false;
            while ((end = c->pendingOut.indexOf('\n')) >= 0) {
                const QString line = QString::fromLocal8Bit(c->pendingOut.left(end));
                c->pendingOut.remove(0, end + 1);
                const QString before = c->state.versionBefore;
                if (applyReport(c->state, line)) {
                    changed = true;
                    if (!live && c->state.versionBefore != before)
                        say(label(c->member) + QStringLiteral(": running version ") + c->state.versionBefore);
                }
            }
            if (changed)
                redraw();
        });
        QObject::connect(p, &QProcess::readyReadStandardError, &loop, [c, p, verbose] {
            const QByteArray bytes = p->readAllStandardError();
            for (const QByteArray &raw : bytes.split('\n')) {
                QString line = QString::fromLocal8Bit(raw).trimmed();
                if (line.isEmpty())
                    continue;
                if (verbose)
                    std::fprintf(stderr, "[%s] %s\n", qPrintable(c->member.port), qPrintable(line));
                if (line.startsWith(QLatin1String(kErrorPrefix)))
                    c->lastError = line.mid(int(sizeof kErrorPrefix) - 1);
            }
        });
        QObject::connect(p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                         [&, c, p](int exitCode, QProcess::ExitStatus exitStatus) {
                             c->state.finished = true;
                             c->state.exitStatus = exitStatus == QProcess::NormalExit ? exitCode : kExitFailed;
                             if (c->state.text.isEmpty() || c->state.exitStatus != kExitOk) {
                                 // No result line: the child stopped before the run ended.
                                 if (!c->lastError.isEmpty())
                                     c->state.text = c->lastError;
                                 else if (c->state.text.isEmpty())
                                     c->state.text = exitStatus == QProcess::NormalExit
                                                         ? QStringLiteral("Update Failed")
                                                         : QStringLiteral("crashed: ") + p->errorString();
                             }
                             if (!live)
                                 say(label(c->member) + QStringLiteral(": ") + c->state.text);
                             redraw();
                             if (--running == 0)
                                 loop.quit();
                         });
        QObject::connect(p, &QProcess::errorOccurred, &loop, [&, c, p](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return;
            c->state.finished = true;
            c->state.exitStatus = kExitFailed;
            c->state.text = QStringLiteral("could not start: ") + p->errorString();
            if (!live)
                say(label(c->member) + QStringLiteral(": ") + c->state.text);
            if (--running == 0)
                loop.quit();
        });
        ++running;
        p->start(QCoreApplication::applicationFilePath(), args);
    }
    redraw();
    if (running > 0)
        loop.exec();
    if (guarded)
        workflow::jobguard::leave();

    // Summary table.
    const QStringList headers{QStringLiteral("SERIAL"), QStringLiteral("PORT"), QStringLiteral("BEFORE"),
                              QStringLiteral("AFTER"), QStringLiteral("RESULT")};
    QVector<QStringList> rows;
    int succeeded = 0;
    int upToDate = 0;
    QStringList failed;
    for (const Child *c : children) {
        if (c->state.upToDate())
            ++upToDate;
        else if (c->state.exitStatus == kExitOk)
            ++succeeded;
        else
            failed << c->member.port;
        const QJsonObject outcome = outcomeOf(*c, firmwareFile);
        outcomes->append(outcome);
        const QString after = outcome.value(QStringLiteral("versionAfter")).toString();
        rows.append({c->member.serialNumber, c->member.port,
                     c->state.versionBefore.isEmpty() ? QStringLiteral("-") : c->state.versionBefore,
                     after.isEmpty() ? QStringLiteral("-") : after, c->state.text});
    }
    say(QString());
    for (const QString &line : formatTable(headers, rows))
        say(line);
    say(QStringLiteral("%1 of %2 updated").arg(succeeded).arg(children.size())
        + (upToDate > 0 ? QStringLiteral(", %1 up to date").arg(upToDate) : QString())
        + QStringLiteral(", %1 failed").arg(failed.size()));
    if (!failed.isEmpty()) {
        printErr(QStringLiteral("not updated: %1").arg(failed.join(QStringLiteral(", "))));
        return kExitFailed;
    }
    if (upToDate > 0 && options.catalogueUnchecked) {
        printErr(QStringLiteral("the catalogue could not be checked: up to date with the versions stored here only"));
        return kExitCatalogueUnreachable;
    }
    return kExitOk;
}

} // namespace nvxctl
