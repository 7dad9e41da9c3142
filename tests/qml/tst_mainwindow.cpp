// The real window, loaded by the real start-up with the virtual instrument
// and a catalogue server on 127.0.0.1, driven through its items.

#include "catalogueserver.h"
#include "comportcomboboxmanagement.h"
#include "comportmodel.h"
#include "controller.h"
#include "datahome.h"
#include "instrumentsession.h"
#include "languagecomboboxmanagement.h"
#include "languagemodel.h"
#include "propertyhistory.h"
#include "status.h"
#include "startup.h"
#include "versionmodel.h"
#include "virtualbench.h"

#include "simulator.h"

#include <QAccessible>
#include <QDir>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <cstdio>

namespace {

constexpr int kFoundMs = 20000;   // the COM port timer polls every second at first
constexpr int kJobMs = 60000;     // one read or update of the virtual instrument

// The progress bar's value with its visibility at each change.
class ProgressRecorder : public QObject
{
    Q_OBJECT

public:
    ProgressRecorder(QObject *bar, QObject *parent) : QObject(parent), m_bar(bar)
    {
        connect(bar, SIGNAL(valueChanged()), this, SLOT(record()));
    }

    QList<QPair<double, bool>> steps;

public slots:
    void record() { steps.append(qMakePair(m_bar->property("value").toDouble(), m_bar->property("visible").toBool())); }

private:
    QObject *m_bar;
};

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

public:
    MainWindowTest(QQmlApplicationEngine &engine, nvx::VirtualBench *bench)
        : m_engine(engine), m_bench(bench)
    {
        m_window = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
        m_controller = m_window->findChild<Controller *>();
        m_message = new PropertyHistory(item("smallMessage"), "text", this);
        m_progress = new ProgressRecorder(item("progressBar"), this);
    }

private:
    QQmlApplicationEngine &m_engine;
    nvx::VirtualBench *m_bench;
    QQuickWindow *m_window = nullptr;
    Controller *m_controller = nullptr;
    PropertyHistory *m_message = nullptr;
    ProgressRecorder *m_progress = nullptr;
    QObject *m_readAgainPause = nullptr;

    QQuickItem *item(const char *name) const
    {
        auto *found = m_window->findChild<QQuickItem *>(QLatin1String(name));
        if (!found)
            qFatal("no item %s in the window", name);
        return found;
    }

    QVariant prop(const char *itemName, const char *property) const { return item(itemName)->property(property); }
    QString text(const char *itemName) const { return prop(itemName, "text").toString(); }

    template<typename T> T *contextObject(const char *name) const
    {
        return qobject_cast<T *>(m_engine.rootContext()->contextProperty(QLatin1String(name)).value<QObject *>());
    }

    static void emitSignal(QObject *object, const char *signal)
    {
        QVERIFY(QMetaObject::invokeMethod(object, signal));
    }

    void click(const char *itemName)
    {
        QQuickItem *target = item(itemName);
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }

    QString virtualPort() const { return m_bench->instruments().portName(0); }
    nvxsim::Simulator &instrument() const { return m_bench->instruments().instrument(0); }

    // Runs the window's own steps for a count change that found the instrument.
    void readThroughController()
    {
        m_controller->read(virtualPort());
        m_controller->setVersion(QLatin1String(workflow::kVersionReading));
    }

    static QString running(const QString &version)
    {
        return QStringLiteral("NVX7300 is currently running version ") + version;
    }

    // The status line for an instrument that runs the newest version, after a job's end text when given.
    static QString upToDate(const QString &version, const QString &end = QString())
    {
        return (end.isEmpty() ? end : end + QLatin1Char('\n')) + running(version) + QStringLiteral("\nNVX7300 is up to date");
    }

    QObject *popup(const char *name) const { return m_window->findChild<QObject *>(QLatin1String(name)); }

    // The user picks a row of the instrument box.
    void choose(int row)
    {
        QObject *box = item("comPortComboBox");
        box->setProperty("currentIndex", row);
        QVERIFY(QMetaObject::invokeMethod(box, "activated", Q_ARG(int, row)));
    }

    // The COM port timer's refresh, now rather than at its next 10 s tick.
    void refreshInstruments()
    {
        contextObject<ComPortComboBoxManagement>("comPortComboBoxManagement")
            ->refreshValues(contextObject<ComPortModel>("comPortModel"));
    }

    // The Update button's state right after the window has handled each status.
    QMetaObject::Connection recordUpdateEnabledAtEachStatus(QList<bool> *enabled)
    {
        return connect(m_controller, &Controller::controllerHandleStatusChanged, this,
                       [this, enabled] { enabled->append(prop("updateButton", "enabled").toBool()); });
    }

    // No job or read queued or about to start: what the window shows stays.
    bool settled() const { return !m_controller->busy() && !m_readAgainPause->property("running").toBool(); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_window);
        QVERIFY(m_controller);
        QVERIFY(m_bench);
        QAccessible::setActive(true);
        // The pause before the read after a job, in which new firmware starts, is the real one in the first test only.
        QVERIFY((m_readAgainPause = m_window->findChild<QObject *>(QStringLiteral("readAgainTimer"))));
    }

    void init()
    {
        QTRY_VERIFY_WITH_TIMEOUT(settled(), kJobMs);
        if (QTest::currentTestFunction() != QLatin1String("updateRoadFromDetectionToTheNewVersion"))
            m_readAgainPause->setProperty("interval", 100);
    }

    void updateRoadFromDetectionToTheNewVersion()
    {
        QTRY_COMPARE_WITH_TIMEOUT(prop("comPortComboBox", "count").toInt(), 1, kFoundMs);
        // One instrument: its row is used without showing the box.
        QCOMPARE(prop("comPortComboBox", "visible").toBool(), false);
        QCOMPARE(prop("comPortComboBox", "displayText").toString(), QStringLiteral("VIRTUAL1"));

        QTRY_VERIFY_WITH_TIMEOUT(m_message->values.contains(running(QStringLiteral("1.10"))), kJobMs);
        const int reading = m_message->indexOf(QStringLiteral("Reading NVX7300 version"));
        QVERIFY(reading >= 0);
        QVERIFY(reading < m_message->indexOf(running(QStringLiteral("1.10"))));
        QCOMPARE(prop("missingTarvelinMessage", "visible").toBool(), false);

        // The catalogue arrives from the server; the newest version is offered.
        QTRY_COMPARE_WITH_TIMEOUT(text("updateButton"), QStringLiteral("Update to\nversion 1.208"), kJobMs);
        QTRY_VERIFY(prop("updateButton", "enabled").toBool());
        QVERIFY(prop("updateButton", "visible").toBool());

        QSignalSpy operate(m_controller, &Controller::operate);
        QSignalSpy statuses(m_controller, &Controller::controllerHandleStatusChanged);
        QList<bool> enabledAtStatus;
        const QMetaObject::Connection recorder = recordUpdateEnabledAtEachStatus(&enabledAtStatus);
        const int progressBefore = m_progress->steps.size();
        emitSignal(item("updateButton"), "clicked");
        QCOMPARE(operate.size(), 1);
        QCOMPARE(operate.at(0).at(0).toString(), virtualPort());
        const QString firmware = operate.at(0).at(1).toString();
        QVERIFY2(QFileInfo(firmware).fileName().startsWith(QLatin1String("731-001-208-")), qPrintable(firmware));
        QVERIFY(QFileInfo::exists(firmware));
        QCOMPARE(prop("updateButton", "enabled").toBool(), false);
        QCOMPARE(prop("progressBar", "visible").toBool(), true);

        QTRY_VERIFY_WITH_TIMEOUT(m_message->values.contains(QStringLiteral("Update Complete")), kJobMs);
        QCOMPARE(statuses.last().at(0).toInt(), workflow::kStatusSuccess);
        QCOMPARE(prop("progressBar", "visible").toBool(), false);
        // Not clickable from the engine's result to the end of the job, nor
        // after it: the version is gone until the instrument is read again.
        QTRY_VERIFY(!m_controller->busy());
        disconnect(recorder);
        QVERIFY(!enabledAtStatus.contains(true));
        QCOMPARE(prop("updateButton", "enabled").toBool(), false);

        // The bar advanced while visible, one step of the job's counted
        // total per tick, and was full at the job's last step.
        const int total = m_controller->progressTotal();
        const QList<QPair<double, bool>> steps = m_progress->steps.mid(progressBefore);
        int ticks = 0;
        double last = 0;
        for (const auto &step : steps) {
            if (step.first <= last)
                continue;
            QVERIFY(step.second);
            QVERIFY(qFuzzyCompare(1 + step.first, 1 + double(++ticks) / total));
            last = step.first;
        }
        QVERIFY2(ticks == total && total > 20, qPrintable(QStringLiteral("%1 of %2").arg(ticks).arg(total)));
        QVERIFY(m_message->values.contains(QStringLiteral("Updating. Do not disconnect or switch off your NVX7300")));

        // Read again at once, still plugged in: the new version, nothing newer
        // to offer, and the Update button leads to the other versions.
        QTRY_COMPARE_WITH_TIMEOUT(text("smallMessage"), upToDate(QStringLiteral("1.208"), QStringLiteral("Update Complete")),
                                  kJobMs);
        QCOMPARE(instrument().read(0x1090, 2), (std::vector<uint8_t>{1, 208}));
        QTRY_VERIFY(prop("updateButton", "enabled").toBool());
        QCOMPARE(text("updateButton"), QStringLiteral("Up to date\nChoose another version"));
    }

    // Two instruments: a second one plugged in while the window runs, chosen
    // in the box, updated, and pulled again. What the window shows is what it
    // read, and what it updates.
    void showsReadsAndUpdatesTheSameInstrument()
    {
        nvx::VirtualInstruments &bench = m_bench->instruments();
        QSignalSpy reads(m_controller, &Controller::operateRead);
        QVERIFY(bench.start(1));
        bench.instrument(1).write(0x1091, {20}); // runs 1.20, the first one 1.208
        const QString first = bench.portName(0);
        const QString second = bench.portName(1);

        refreshInstruments();
        QCOMPARE(prop("comPortComboBox", "count").toInt(), 2);
        QCOMPARE(prop("comPortComboBox", "visible").toBool(), true);
        QCOMPARE(prop("comPortComboBox", "displayText").toString(), QStringLiteral("VIRTUAL2"));
        QTRY_COMPARE_WITH_TIMEOUT(text("smallMessage"), running(QStringLiteral("1.20")), kJobMs);
        QTRY_VERIFY(prop("updateButton", "enabled").toBool());
        QCOMPARE(reads.size(), 1);
        QCOMPARE(reads.at(0).at(0).toString(), second);
        QCOMPARE(m_controller->readPort(), second);

        // The first one chosen, then the second again at once: the first's
        // answer arrives while the second is on show, and is not shown.
        struct Seen
        {
            QString readPort, shown, message;
            bool updateEnabled;
        };
        QList<Seen> seen;
        const QMetaObject::Connection watch = connect(m_controller, &Controller::controllerHandleVersionChanged, this, [&] {
            seen.append({m_controller->readPort(), prop("comPortComboBox", "displayText").toString(), text("smallMessage"),
                         prop("updateButton", "enabled").toBool()});
        });
        choose(0);
        QCoreApplication::processEvents(); // the window's deferred read
        QCOMPARE(reads.size(), 2);
        QCOMPARE(reads.at(1).at(0).toString(), first);
        QCOMPARE(prop("updateButton", "enabled").toBool(), false);
        choose(1);
        QTRY_COMPARE(reads.size(), 3);
        QCOMPARE(reads.at(2).at(0).toString(), second);
        QTRY_VERIFY_WITH_TIMEOUT(!m_controller->busy(), kJobMs);
        disconnect(watch);
        QCOMPARE(text("smallMessage"), running(QStringLiteral("1.20")));
        QVERIFY(prop("updateButton", "enabled").toBool());
        int staleAnswers = 0;
        for (const Seen &s : qAsConst(seen)) {
            if (s.readPort != first)
                continue;
            ++staleAnswers;
            QCOMPARE(s.shown, QStringLiteral("VIRTUAL2"));
            QVERIFY(!s.updateEnabled);
            QVERIFY(s.message != upToDate(QStringLiteral("1.208")));
        }
        QCOMPARE(staleAnswers, 1);

        // Update goes to the instrument on show and is not refused.
        QSignalSpy operate(m_controller, &Controller::operate);
        emitSignal(item("updateButton"), "clicked");
        QCOMPARE(operate.size(), 1);
        QCOMPARE(operate.at(0).at(0).toString(), second);
        QTRY_COMPARE_WITH_TIMEOUT(text("smallMessage"), upToDate(QStringLiteral("1.208"), QStringLiteral("Update Complete")),
                                  kJobMs);
        QCOMPARE(bench.instrument(1).read(0x1090, 2), (std::vector<uint8_t>{1, 208}));
        QCOMPARE(reads.size(), 4);
        QCOMPARE(reads.at(3).at(0).toString(), second);

        // Pulled: the one left is on show and read, since it was not the one read.
        bench.setListed(1, false);
        refreshInstruments();
        QCOMPARE(prop("comPortComboBox", "count").toInt(), 1);
        QCOMPARE(prop("comPortComboBox", "displayText").toString(), QStringLiteral("VIRTUAL1"));
        QTRY_COMPARE(reads.size(), 5);
        QCOMPARE(reads.at(4).at(0).toString(), first);
        QTRY_COMPARE_WITH_TIMEOUT(text("smallMessage"), upToDate(QStringLiteral("1.208")), kJobMs);
        QTRY_VERIFY(prop("updateButton", "enabled").toBool());
        QCOMPARE(m_controller->readPort(), first);
    }

    void statusTexts_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("versionKept"); // and with it Update enabled
        using namespace workflow;
        // A job's end before its status: "left erased" and "service erase" rows.
        QTest::newRow("left erased") << kStatusNotConnected << "NVX7300 must be updated again" << false;
        QTest::newRow("service erase") << kStatusSuccess << "Erase Complete" << false;
        QTest::newRow("port not opened") << kStatusPortFailed << "NVX7300 disconnected too soon" << false;
        QTest::newRow("success") << kStatusSuccess << "Update Complete" << false;
        QTest::newRow("only the restart failed") << kStatusUpdatedNotRestarted
                                                 << "Update Complete. Switch your NVX7300 off and on again" << false;
        QTest::newRow("engine failure") << bsl::runResult(bsl::kFrameError) << "Update Failed" << false;
        QTest::newRow("not connected") << kStatusNotConnected << "NVX7300 not connected" << false;
        QTest::newRow("refused") << kStatusRefused << "Update refused" << false; // each reason: refusalTexts
    }

    void statusTexts()
    {
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(bool, versionKept);
        m_window->setProperty("jobPort", virtualPort()); // as if the window had started the job
        m_controller->setVersion(QStringLiteral("1.208"));
        m_controller->controllerStatusChanged(workflow::kStatusProgress);
        QCOMPARE(text("smallMessage"), QStringLiteral("Updating. Do not disconnect or switch off your NVX7300"));
        QCOMPARE(prop("progressBar", "visible").toBool(), true);
        item("massEraseMouseArea")->setProperty("enabled", false);

        const QByteArray tag = QTest::currentDataTag();
        m_controller->controllerJobEnded(
            {status, tag == "service erase" ? workflow::JobKind::Erase : workflow::JobKind::Update, tag == "left erased"});
        m_controller->controllerStatusChanged(status);
        QCOMPARE(text("smallMessage"), message);
        QCOMPARE(prop("progressBar", "visible").toBool(), false);
        QCOMPARE(prop("massEraseMouseArea", "enabled").toBool(), true);
        // Cleared, so that Update waits until the instrument has been read again.
        QCOMPARE(m_controller->version(), versionKept ? QStringLiteral("1.208") : QString());
        QCOMPARE(prop("updateButton", "enabled").toBool(), versionKept);
        // ...which follows at once: the end stays in view, what fits is offered.
        QTRY_COMPARE_WITH_TIMEOUT(text("smallMessage"), upToDate(QStringLiteral("1.208"), message), kJobMs);
        QTRY_VERIFY(prop("updateButton", "enabled").toBool());
    }

    // Why a job refused: the window's words and nvx7300ctl's exit status, for
    // every reason; the real worker refuses so where that is cheap.
    void refusalTexts_data()
    {
        QTest::addColumn<workflow::RefusalReason>("reason");
        QTest::addColumn<QString>("job"); // one the worker refuses so; empty: none is cheap here
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("exitStatus");
        using R = workflow::RefusalReason;
        QSet<int> covered;
        const auto row = [&covered](const char *name, R reason, const char *job, const char *message, int exitStatus) {
            covered << int(reason);
            QTest::newRow(name) << reason << job << message << exitStatus;
        };
        const char refused[] = "Update refused";
        row("firmware file", R::FirmwareFile, "erase, no such file", "Update refused: the firmware file is damaged", 8);
        row("erase before a read", R::NotRead, "erase", refused, 1);
        row("update before a read", R::NotIdentified, "update", refused, 1);
        row("service backup not taken", R::ServiceBackup, "update, service backup", refused, 1);
        row("no backup", R::Backup, "", "Update refused: no backup of the NVX7300 can be made", 1);
        row("another instrument", R::OtherInstrument, "", "Update refused: another NVX7300 is connected", 1);
        row("not read again", R::SameInstrumentUnreadable, "", "Update refused: the NVX7300 could not be read again", 1);
        row("patch missing", R::PatchMissing, "", "Update refused: this NVX7300 needs a patch file that is not installed", 1);
        for (R reason : {R::None, R::JobFiles, R::MemoryImage, R::LoaderUnknown, R::Stopping})
            row(QMetaEnum::fromType<R>().valueToKey(int(reason)), reason, "", refused, 1);
        QCOMPARE(covered.size(), QMetaEnum::fromType<R>().keyCount()); // every reason has its row
    }

    void refusalTexts()
    {
        QFETCH(workflow::RefusalReason, reason);
        QFETCH(QString, job);
        QFETCH(QString, message);
        QFETCH(int, exitStatus);
        QCOMPARE(nvxctl::refusalExitStatus(reason), exitStatus);
        QVariant source;
        QVERIFY(QMetaObject::invokeMethod(m_window, "refusalSource", Q_RETURN_ARG(QVariant, source),
                                          Q_ARG(QVariant, int(reason))));
        QCOMPARE(source.toString(), message);
        if (job.isEmpty())
            return;
        // A controller of its own, on no instrument: the window's reads its instrument again after each job.
        Controller c;
        const QString gone = QStringLiteral("/dev/nvx-no-such-port");
        if (job.endsWith(QLatin1String("service backup"))) {
            c.read(gone);
            c.restoreServiceBackup(QByteArray(256, 'x'));
        }
        const QString firmware = job.endsWith(QLatin1String("no such file"))
            ? gone : contextObject<VersionModel>("versionModel")->myData(0, 6).toString();
        QSignalSpy ends(&c, &Controller::jobEndChanged);
        c.start(gone, (job.startsWith(QLatin1String("erase")) ? QLatin1String(workflow::kEraseForm) : QLatin1String()) + firmware);
        QVERIFY(ends.wait(kJobMs));
        QCOMPARE(ends.first().at(0).value<workflow::JobEnd>().refusal, reason);
    }

    void fullBarAtTheJobsLastStep()
    {
        m_controller->controllerStatusChanged(workflow::kStatusRefused); // a job's end: the count starts anew
        m_controller->setProgressTotal(215);
        for (int i = 0; i < 215; ++i)
            m_controller->controllerStatusChanged(workflow::kStatusProgress);
        QVERIFY(qFuzzyCompare(prop("progressBar", "value").toDouble(), 1.0));
        QCOMPARE(text("progressPercent"), QStringLiteral("100%"));
        m_controller->controllerStatusChanged(workflow::kStatusSuccess);
    }

    void interruptedUpdateIsOfferedAgainAndRestoresTheInstrument()
    {
        // As if an update had been cut off right after the erase: everything
        // is blank, and the earlier read left a backup of this instrument.
        const std::vector<uint8_t> info = instrument().read(0x1000, 0x100);
        QCOMPARE(info[0x80], uint8_t(0xAA));
        instrument().write(0x1000, std::vector<uint8_t>(0x10000 - 0x1000, 0xFF));

        readThroughController();
        QTRY_COMPARE_WITH_TIMEOUT(text("smallMessage"), QStringLiteral("NVX7300 must be updated again"), kJobMs);
        QTRY_VERIFY(prop("updateButton", "enabled").toBool());

        emitSignal(item("updateButton"), "clicked");
        // Closed while it runs: the window stays and says why, then closes itself.
        QGuiApplication::setQuitOnLastWindowClosed(false);
        m_window->close();
        QVERIFY(m_window->isVisible());
        QVERIFY(popup("closeDialog")->property("visible").toBool());
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->isVisible(), kJobMs);
        QVERIFY(text("smallMessage").startsWith(QLatin1String("Update Complete")));
        m_window->show();
        QGuiApplication::setQuitOnLastWindowClosed(true);
        // Identity and calibration are back; the version is the new firmware's own.
        std::vector<uint8_t> expected = info;
        expected[0x90] = 0xFF;
        expected[0x91] = 0xFF;
        std::vector<uint8_t> restored = instrument().read(0x1000, 0x100);
        restored[0x90] = 0xFF;
        restored[0x91] = 0xFF;
        QCOMPARE(restored, expected);
        QVERIFY(instrument().read(0xFFFE, 2) != (std::vector<uint8_t>{0xFF, 0xFF}));
    }

    void unidentifiedInstrumentIsInvalid()
    {
        const std::vector<uint8_t> marker = instrument().read(0x1080, 1);
        instrument().write(0x1080, {0xFF});
        // Without a saved copy of its information memory, nothing can be offered to recover it.
        QDir store(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/firmware"));
        for (const QString &backup : store.entryList({QStringLiteral("731-info-*")}))
            QVERIFY(store.remove(backup));
        QSignalSpy versions(m_controller, &Controller::controllerHandleVersionChanged);
        readThroughController();
        QCOMPARE(text("smallMessage"), QStringLiteral("Reading NVX7300 version"));
        QTRY_COMPARE_WITH_TIMEOUT(text("smallMessage"), QStringLiteral("NVX7300 software is invalid"), kJobMs);
        instrument().write(0x1080, marker);
        // Cleared, so that the next instrument found is read again.
        QCOMPARE(m_controller->version(), QString());
        QCOMPARE(prop("updateButton", "enabled").toBool(), false);
    }

    void readsThatFoundNoVersionSayWhy_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("message");
        using namespace workflow;
        QTest::newRow("not identified") << kVersionUnknown << "NVX7300 software is invalid";
        QTest::newRow("port busy") << kVersionPortBusy << "NVX7300 is in use by another program";
        QTest::newRow("port not permitted") << kVersionPortNotPermitted << "Not permitted to use the NVX7300 port";
        QTest::newRow("no answer") << kVersionNotConnected << "NVX7300 not connected";
        QTest::newRow("backup damaged") << kVersionBackupDamaged << "The backup of this NVX7300 is damaged; call service";
        QTest::newRow("files of this computer") << kVersionFilesUnusable
                                                << "The toolkit cannot use its own files; see the log file";
    }

    void readsThatFoundNoVersionSayWhy()
    {
        QFETCH(QString, version);
        QFETCH(QString, message);
        m_controller->setVersion(QLatin1String(workflow::kVersionReading));
        m_controller->controllerVersionChanged(version);
        QCOMPARE(text("smallMessage"), message);
        // Cleared, so that the next instrument found is read again.
        QCOMPARE(m_controller->version(), QString());
        QCOMPARE(prop("updateButton", "enabled").toBool(), false);
    }

    void massEraseCorner()
    {
        readThroughController();
        QTRY_COMPARE_WITH_TIMEOUT(text("smallMessage"), upToDate(QStringLiteral("1.208")), kJobMs);
        auto *versions = contextObject<VersionModel>("versionModel");
        const QString firmware = versions->myData(prop("versionComboBox", "currentIndex").toInt(), 6).toString();
        const int erasesBefore = instrument().stats().massErases;

        QSignalSpy operate(m_controller, &Controller::operate);
        QSignalSpy reported(m_controller, &Controller::controllerHandleVersionChanged);
        // Asked once; a No erases nothing.
        click("massEraseMouseArea");
        QTRY_VERIFY(popup("eraseDialog")->property("opened").toBool());
        emitSignal(popup("eraseNo"), "clicked");
        QTRY_VERIFY(!popup("eraseDialog")->property("visible").toBool());
        QCOMPARE(operate.size(), 0);
        click("massEraseMouseArea");
        QTRY_VERIFY(popup("eraseDialog")->property("opened").toBool());
        emitSignal(popup("eraseYes"), "clicked");
        QCOMPARE(operate.size(), 1);
        QCOMPARE(operate.at(0).at(0).toString(), virtualPort());
        QCOMPARE(operate.at(0).at(1).toString(), QStringLiteral("Erase") + firmware);
        QCOMPARE(prop("massEraseMouseArea", "enabled").toBool(), false);
        QCOMPARE(prop("updateButton", "enabled").toBool(), false);
        QCOMPARE(prop("progressBar", "visible").toBool(), true);

        QTRY_COMPARE_WITH_TIMEOUT(prop("massEraseMouseArea", "enabled").toBool(), true, kJobMs);
        QCOMPARE(text("smallMessage"), QStringLiteral("Erase Complete"));
        QVERIFY(instrument().stats().massErases > erasesBefore);
        // Read again at once, and the update that restores it is offered.
        QTRY_VERIFY_WITH_TIMEOUT(reported.contains({QLatin1String(workflow::kVersionReading)}), kJobMs);
        QTRY_VERIFY_WITH_TIMEOUT(prop("updateButton", "enabled").toBool(), kJobMs);
        QVERIFY(m_controller->needsRecovery());
    }

    void languageSwitchRebuildsTexts_data()
    {
        QTest::addColumn<QString>("outcome"); // what put the text on the status line
        QTest::addColumn<QString>("source");  // that text, untranslated
        QTest::addColumn<QString>("suffix");
        QTest::newRow("version read") << "version" << "NVX7300 is currently running version " << "1.126";
        QTest::newRow("read that found no version") << "busy" << "NVX7300 is in use by another program" << "";
        QTest::newRow("update under way") << "progress" << "Updating. Do not disconnect or switch off your NVX7300"
                                          << "";
        QTest::newRow("update ended") << "complete" << "Update Complete" << "";
        QTest::newRow("update refused") << "refused" << "Update refused: no backup of the NVX7300 can be made" << "";
    }

    void languageSwitchRebuildsTexts()
    {
        QFETCH(QString, outcome);
        QFETCH(QString, source);
        QFETCH(QString, suffix);
        auto *languages = contextObject<LanguageModel>("languageModel");
        QVERIFY(languages);
        int german = -1, english = -1;
        for (int row = 0; row < languages->rowCount(); ++row) {
            const QString code = languages->myData(row, 0).toString();
            if (code == QLatin1String("de_DE"))
                german = row;
            if (code == QLatin1String("en_GB"))
                english = row;
        }
        QVERIFY(german >= 0 && english >= 0);
        QObject *box = item("languageComboBox");
        QVERIFY(box->property("visible").toBool());

        if (outcome == QLatin1String("version")) {
            m_controller->setVersion(suffix);
        } else if (outcome == QLatin1String("busy")) {
            m_controller->setVersion(QLatin1String(workflow::kVersionReading));
            m_controller->controllerVersionChanged(QLatin1String(workflow::kVersionPortBusy));
        } else {
            m_controller->controllerStatusChanged(workflow::kStatusProgress);
            if (outcome == QLatin1String("complete")) {
                m_controller->controllerStatusChanged(workflow::kStatusSuccess);
            } else if (outcome == QLatin1String("refused")) {
                m_controller->controllerJobEnded(
                    {workflow::kStatusRefused, workflow::JobKind::Update, false, workflow::RefusalReason::Backup});
                m_controller->controllerStatusChanged(workflow::kStatusRefused);
            }
        }
        QCOMPARE(text("smallMessage"), source + suffix);
        const QString description = contextObject<VersionModel>("versionModel")
                                        ->myData(prop("versionComboBox", "currentIndex").toInt(), 3)
                                        .toString();

        box->setProperty("currentIndex", german);
        QVERIFY(QMetaObject::invokeMethod(box, "activated", Q_ARG(int, german)));
        const QString translated = QCoreApplication::translate("main", qPrintable(source));
        const QString germanUpdateTo = QCoreApplication::translate("main", "Update to");
        QVERIFY2(translated != source, "no German loaded");
        QVERIFY(germanUpdateTo != QLatin1String("Update to"));
        QCOMPARE(text("smallMessage"), translated + suffix);
        QCOMPARE(text("updateButton"), germanUpdateTo + QLatin1Char('\n') + description);
        QCOMPARE(text("missingTarvelinMessage"),
                 QCoreApplication::translate("main", "Please switch on and connect your NVX7300"));

        box->setProperty("currentIndex", english);
        QVERIFY(QMetaObject::invokeMethod(box, "activated", Q_ARG(int, english)));
        QCOMPARE(text("smallMessage"), source + suffix);
        QCOMPARE(text("updateButton"), QStringLiteral("Update to\n") + description);
        // An end status: the bar goes, and with it the pause of the instrument scan.
        if (outcome == QLatin1String("progress"))
            m_controller->controllerStatusChanged(workflow::kStatusSuccess);
    }

    // A screen reader finds every control by its name and role; the status
    // line and the red message, as a status bar and an alert, are told when they change.
    void everyControlHasANameAndRole_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name"); // empty: its own text
        QTest::newRow("language") << "languageComboBox" << int(QAccessible::ComboBox) << "Language";
        QTest::newRow("instrument") << "comPortComboBox" << int(QAccessible::ComboBox) << "Instrument";
        QTest::newRow("version") << "versionComboBox" << int(QAccessible::ComboBox) << "Firmware version";
        QTest::newRow("other versions") << "versionChooser" << int(QAccessible::Button) << "Choose another version";
        QTest::newRow("update") << "updateButton" << int(QAccessible::Button) << "";
        QTest::newRow("progress") << "progressBar" << int(QAccessible::ProgressBar) << "Update progress";
        QTest::newRow("status line") << "smallMessage" << int(QAccessible::StatusBar) << "";
        QTest::newRow("red message") << "missingTarvelinMessage" << int(QAccessible::AlertMessage) << "";
    }

    void everyControlHasANameAndRole()
    {
        QFETCH(QString, control);
        QFETCH(int, role);
        QFETCH(QString, name);
        QQuickItem *target = item(qPrintable(control));
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(target);
        QVERIFY(accessible);
        QCOMPARE(int(accessible->role()), role);
        QCOMPARE(accessible->text(QAccessible::Name), name.isEmpty() ? target->property("text").toString() : name);
        if (role != QAccessible::StatusBar && role != QAccessible::AlertMessage)
            return;
        // What these say is announced when it changes: their accessible
        // name follows the text (the platform's bridge sends the change on).
        QObject *attached = nullptr;
        for (QObject *child : target->children())
            attached = child->inherits("QQuickAccessibleAttached") ? child : attached;
        QVERIFY(attached);
        QSignalSpy renamed(attached, SIGNAL(nameChanged()));
        const QVariant before = target->property("text");
        target->setProperty("text", QStringLiteral("Update Failed"));
        QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("Update Failed"));
        target->setProperty("text", before);
        QCOMPARE(renamed.count(), 2);
    }

    // Tab: language, instrument (when there is a choice), version, Update,
    // with the focus drawn; Return presses.
    void keyboardReachesEveryControlInOrder()
    {
        m_window->requestActivate();
        m_controller->setVersion(QStringLiteral("1.126")); // something newer is offered
        item("keyboardStart")->forceActiveFocus(); // as the window starts
        QStringList order;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(m_window, Qt::Key_Tab);
            QQuickItem *focused = m_window->activeFocusItem();
            order << focused->objectName();
            QVERIFY(focused->property("visualFocus").toBool());
        }
        QCOMPARE(order, (QStringList{"languageComboBox", "versionChooser", "updateButton", "languageComboBox"}));

        // Nothing newer: Return on Update opens the other versions; Escape closes them.
        m_controller->setVersion(QStringLiteral("1.208"));
        QTest::keyClick(m_window, Qt::Key_Tab, Qt::ShiftModifier);
        QTest::keyClick(m_window, Qt::Key_Return);
        QTRY_VERIFY(prop("versionComboBox", "visible").toBool());
        QTest::keyClick(m_window, Qt::Key_Escape);
        QTRY_VERIFY(prop("updateButton", "visible").toBool());
        QCOMPARE(m_window->activeFocusItem(), item("updateButton"));
    }

    // Wrapped inside the window, above the progress bar and below the Update
    // button: every text of the window as the status line, in each language.
    void everyStatusTextFitsTheWindow()
    {
        auto *languages = contextObject<LanguageComboBoxManagement>("languageComboBoxManagement");
        QQuickItem *line = item("smallMessage"), *red = item("missingTarvelinMessage"), *button = item("updateButton");
        // The longest a status line gets: an end, a read's answer and a note.
        m_window->setProperty("statusLead", "Update Complete. Switch your NVX7300 off and on again");
        m_window->setProperty("statusNote", "Could not check for new versions");
        const QDir sources(QStringLiteral(NVX_TRANSLATION_SOURCES));
        const QStringList files = sources.entryList({QStringLiteral("Translation_*.ts")});
        QCOMPARE(files.size(), 4);
        for (const QString &file : files) {
            languages->loadLanguage(LanguageComboBoxManagement::codeFromFileName(file));
            QFile ts(sources.filePath(file));
            QVERIFY(ts.open(QIODevice::ReadOnly));
            for (QXmlStreamReader xml(&ts); !xml.atEnd();) {
                if (!xml.readNextStartElement() || xml.name() != QLatin1String("source"))
                    continue;
                const QString source = xml.readElementText();
                QVERIFY(QMetaObject::invokeMethod(m_window, "showStatus", Q_ARG(QVariant, source), Q_ARG(QVariant, "1.208")));
                red->setProperty("text", QCoreApplication::translate("main", qPrintable(source)));
                for (QQuickItem *text : {line, red}) {
                    const QRectF box = text->mapRectToScene(QRectF(0, 0, text->width(), text->height()));
                    QVERIFY2(box.left() >= 0 && box.right() <= m_window->width()
                                 && text->property("contentWidth").toReal() <= text->width() + 0.5
                                 && (text == red || box.top() >= button->mapToScene(QPointF(0, button->height())).y()),
                             qPrintable(file + QLatin1Char(' ') + source));
                }
            }
        }
        languages->loadLanguage(QStringLiteral("en_GB"));
        m_window->setProperty("statusLead", "");
        m_window->setProperty("statusNote", "");
    }

    void longPressWithSeveralVersionsOpensTheBox()
    {
        auto *versions = contextObject<VersionModel>("versionModel");
        QVERIFY(versions->rowCount() >= 3);
        m_controller->setVersion(QStringLiteral("1.208"));
        emitSignal(item("updateButton"), "pressAndHold");
        QCOMPARE(prop("versionComboBox", "visible").toBool(), true);
        QCOMPARE(prop("updateButton", "visible").toBool(), false);

        QObject *box = item("versionComboBox");
        box->setProperty("currentIndex", 2);
        QVERIFY(QMetaObject::invokeMethod(box, "activated", Q_ARG(int, 2)));
        QCOMPARE(prop("versionComboBox", "visible").toBool(), false);
        QCOMPARE(prop("updateButton", "visible").toBool(), true);
        QCOMPARE(prop("updateButton", "enabled").toBool(), true);
        QCOMPARE(text("updateButton"), QStringLiteral("Update to\n") + versions->myData(2, 3).toString());

        // The older version is what a click then installs.
        QSignalSpy operate(m_controller, &Controller::operate);
        emitSignal(item("updateButton"), "clicked");
        QCOMPARE(operate.size(), 1);
        QCOMPARE(operate.at(0).at(1).toString(), versions->myData(2, 6).toString());
        QTRY_VERIFY_WITH_TIMEOUT(!prop("progressBar", "visible").toBool(), kJobMs);
    }

    void longPressWithOneVersionOnlyLogs()
    {
        auto *versions = contextObject<VersionModel>("versionModel");
        while (versions->rowCount() > 1)
            versions->removeVersion(versions->rowCount() - 1);
        QCOMPARE(prop("versionComboBox", "count").toInt(), 1);
        emitSignal(item("updateButton"), "pressAndHold");
        QCOMPARE(prop("versionComboBox", "visible").toBool(), false);
        QCOMPARE(prop("updateButton", "visible").toBool(), true);
    }

    // Last: demo mode stays on until the program ends.
    void demoModeOffersTwoFictitiousInstruments()
    {
        QSignalSpy reads(m_controller, &Controller::operateRead);
        click("demoMouseArea");
        QCOMPARE(prop("comPortComboBox", "count").toInt(), 2);
        QCOMPARE(prop("comPortComboBox", "visible").toBool(), true);
        QCOMPARE(prop("comPortComboBox", "currentIndex").toInt(), 1);
        QCOMPARE(prop("comPortComboBox", "displayText").toString(), QStringLiteral("OSdemo2"));
        QTRY_COMPARE_WITH_TIMEOUT(text("smallMessage"), running(QStringLiteral("1.0")), kJobMs);
        QTRY_VERIFY(prop("updateButton", "enabled").toBool());
        QCOMPARE(reads.size(), 1);
        QCOMPARE(reads.at(0).at(0).toString(), QStringLiteral("demoport2"));

        // A demo instrument's port cannot be opened, and the window says so.
        QSignalSpy operate(m_controller, &Controller::operate);
        QList<bool> enabledAtStatus;
        const QMetaObject::Connection recorder = recordUpdateEnabledAtEachStatus(&enabledAtStatus);
        click("updateButton");
        QCOMPARE(operate.size(), 1);
        QCOMPARE(operate.at(0).at(0).toString(), QStringLiteral("demoport2"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_controller->busy(), kJobMs);
        disconnect(recorder);
        QCOMPARE(text("smallMessage"), QStringLiteral("NVX7300 disconnected too soon"));
        QVERIFY(!enabledAtStatus.isEmpty());
        QVERIFY(!enabledAtStatus.contains(true));
        // Like any end of a job: not again until the instrument has been read again, at once.
        QCOMPARE(prop("updateButton", "enabled").toBool(), false);
        QTRY_COMPARE_WITH_TIMEOUT(text("smallMessage"),
                                  QStringLiteral("NVX7300 disconnected too soon\n") + running(QStringLiteral("1.0")), kJobMs);
        QTRY_VERIFY(prop("updateButton", "enabled").toBool());
        QCOMPARE(reads.size(), 2);

        // The other one, chosen in the box, is read before Update acts on it.
        choose(0);
        QCOMPARE(prop("comPortComboBox", "displayText").toString(), QStringLiteral("OSdemo1"));
        QTRY_COMPARE(reads.size(), 3);
        QCOMPARE(reads.at(2).at(0).toString(), QStringLiteral("demoport1"));
        QCOMPARE(prop("updateButton", "enabled").toBool(), false);
        QTRY_VERIFY_WITH_TIMEOUT(prop("updateButton", "enabled").toBool(), kJobMs);
        click("updateButton");
        QCOMPARE(operate.size(), 2);
        QCOMPARE(operate.at(1).at(0).toString(), QStringLiteral("demoport1"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_controller->busy(), kJobMs);
    }
};

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    nvxtest::useDataHome(home.path());
    // The window starts in the system's language; the texts below are British English.
    qputenv("LC_ALL", "en_GB.UTF-8");
    if (qgetenv("NVX_GUI_TEST_DEBUG").isEmpty())
        qputenv("QT_LOGGING_RULES", "*.debug=false");
    QDir::setCurrent(home.path());

    CatalogueServer server;
    QString error;
    if (!server.start(&error) || !server.seedStore(nvxtest::programFolderIn(home.path()) + QStringLiteral("/firmware"))) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }

    const QByteArray catalogue = server.catalogueUrl().toLatin1();
    QByteArray program(argv[0]);
    char virtualOption[] = "--virtual-instrument";
    char catalogueOption[] = "--catalogue-url";
    QByteArray catalogueValue(catalogue);
    char *toolkitArgv[] = {program.data(), virtualOption, catalogueOption, catalogueValue.data(), nullptr};
    int toolkitArgc = 4;

    nvx::StartupOptions options;
    options.onWindowLoaded = [argc, argv](const nvx::LoadedToolkit &toolkit) {
        // Built now, so that the histories start before the first timer tick.
        auto *test = new MainWindowTest(toolkit.engine, toolkit.virtualBench);
        QTimer::singleShot(0, [test, argc, argv] {
            const int failures = QTest::qExec(test, argc, argv);
            delete test;
            QCoreApplication::exit(failures);
        });
    };
    return nvx::runToolkit(toolkitArgc, toolkitArgv, options);
}

#include "tst_mainwindow.moc"
