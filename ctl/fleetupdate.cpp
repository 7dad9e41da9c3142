#include "fleetupdate.h"

#include "ctloptions.h"
#include "terminal.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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
    int status = -1;      // end status reported by the child, -1 before
    QString text;         // the window's text, or the child's error line
    int exitStatus = -1;  // of the child process
    bool finished = false;
    QJsonObject report;   // the child's own account, when it gave one
    double seconds = 0;   // from the child's start to its end
};

struct Child
{
    FleetMember member;
    MemberState state;
    std::unique_ptr<QProcess> process;
    QByteArray pendingOut;
    QString lastError;
    QElapsedTimer clock;
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
        return line + progressBar(c.state.ticks, kBarWidth) + QStringLiteral(" %1 blocks").arg(c.state.ticks);
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
        state.ticks = line.mid(10).toInt();
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
// with what only the parent knows for sure (how the child ended, how long it took).
QJsonObject outcomeOf(const Child &c)
{
    QJsonObject o = c.state.report;
    const auto fill = [&o](const QString &key, const QJsonValue &value) {
        if (!o.contains(key) || o.value(key).isNull())
            o.insert(key, value);
    };
    fill(QStringLiteral("serialNumber"), c.member.serialNumber == QLatin1String("-") ? QJsonValue(QJsonValue::Null)
                                                                                      : QJsonValue(c.member.serialNumber));
    fill(QStringLiteral("port"), c.member.port);
    fill(QStringLiteral("versionBefore"),
         c.state.versionBefore.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(c.state.versionBefore));
    fill(QStringLiteral("versionAfter"), QJsonValue(QJsonValue::Null));
    fill(QStringLiteral("result"), c.state.text);
    o.insert(QStringLiteral("exitStatus"), c.state.exitStatus);
    o.insert(QStringLiteral("seconds"), c.state.seconds);
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
                             c->state.seconds = double(c->clock.elapsed() / 100) / 10;
                             c->state.exitStatus = exitStatus == QProcess::NormalExit ? exitCode : kExitFailed;
                             if (c->state.status < 0 || c->state.exitStatus != kExitOk) {
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
        c->clock.start();
        p->start(QCoreApplication::applicationFilePath(), args);
    }
    redraw();
    if (running > 0)
        loop.exec();

    // Summary table.
    const QStringList headers{QStringLiteral("SERIAL"), QStringLiteral("PORT"), QStringLiteral("BEFORE"),
                              QStringLiteral("AFTER"), QStringLiteral("RESULT")};
    QVector<QStringList> rows;
    int succeeded = 0;
    for (const Child *c : children) {
        const bool ok = c->state.exitStatus == kExitOk;
        succeeded += ok ? 1 : 0;
        const QJsonObject outcome = outcomeOf(*c);
        outcomes->append(outcome);
        const QString after = outcome.value(QStringLiteral("versionAfter")).toString();
        rows.append({c->member.serialNumber, c->member.port,
                     c->state.versionBefore.isEmpty() ? QStringLiteral("-") : c->state.versionBefore,
                     after.isEmpty() ? QStringLiteral("-") : after, c->state.text});
    }
    say(QString());
    for (const QString &line : formatTable(headers, rows))
        say(line);
    say(QStringLiteral("%1 of %2 updated, %3 failed").arg(succeeded).arg(children.size()).arg(children.size() - succeeded));
    return succeeded == children.size() ? kExitOk : kExitFailed;
}

} // namespace nvxctl
