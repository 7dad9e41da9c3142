// Engine runs as the window and nvx7300ctl make them, several in one
// process against virtual instruments: each run starts from what its own
// instrument tells it, an old loader's missing flash patch stops an update
// before the erase, and paths outside Latin-1 reach the engine whole.
#include "controller.h"
#include "datahome.h"
#include "worker.h"

#include "devicesources.h"
#include "listeddevicedriver.h"
#include "simsupport.h"
#include "testfiles.h"
#include "workflowjobs.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <map>

namespace {

constexpr uint16_t kOldLoader = 0x0110; // the last one that programs flash only with the patch
constexpr uint16_t kPatchEntry = 0x0220;

// Per port session: the patch entry is jumped to only after this session
// wrote the patch there. Returns the first offence, empty when none.
QString patchEntryBeforePatch(const std::vector<nvxsim::Command> &log)
{
    std::map<int, bool> patchWritten;
    for (const nvxsim::Command &c : log) {
        if (c.cmd == 0x12 && c.address == kPatchEntry && c.acked)
            patchWritten[c.session] = true;
        if (c.cmd == 0x1A && c.address == kPatchEntry && !patchWritten[c.session])
            return QStringLiteral("load PC 0x0220 before the patch in session %1").arg(c.session);
    }
    return QString();
}

// Firmware whose reset vector (the shared vector table) points at its code.
QByteArray firmware()
{
    std::vector<uint8_t> tail = nvxtest::defaultVectors();
    tail.insert(tail.begin(), {1, 208, 0xFF, 0xFF});
    return tiTxt({{0x1100, pattern(480, 0x31)}, {0xFFDC, tail}});
}

int countPatchTraffic(const std::vector<nvxsim::Command> &log)
{
    return int(std::count_if(log.begin(), log.end(), [](const nvxsim::Command &c) {
        return c.cmd == 0x1A || (c.cmd == 0x12 && c.address == kPatchEntry);
    }));
}

} // namespace

class EngineRunsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> home;
    std::vector<std::unique_ptr<nvxsim::Simulator>> sims;

    static QString portOf(const nvxsim::Simulator &sim) { return QString::fromStdString(sim.slavePath()); }

    // A default instrument with the given loader, listed behind its own bridge.
    nvxsim::Simulator &addInstrument(uint16_t loader)
    {
        nvxsim::Config config;
        config.bslVersion = loader;
        sims.push_back(std::make_unique<nvxsim::Simulator>(config));
        nvxsim::loadDefaultInstrument(*sims.back(), 1, 10);
        sims.back()->start();
        QVector<discovery::ListedDevice> devices;
        for (size_t i = 0; i < sims.size(); ++i)
            devices.push_back({"NVX000" + QByteArray::number(int(i) + 1), "NVX7300", portOf(*sims[i])});
        discovery::setDriverFactory([devices] { return std::make_unique<discovery::ListedDeviceDriver>(devices); });
        return *sims.back();
    }

    // The program's files in a fresh home folder: passwords, and the patch if asked.
    bool setUpHome(const QString &folderName, bool withPatch)
    {
        home = std::make_unique<QTemporaryDir>();
        const QString data = home->filePath(folderName);
        if (!home->isValid() || !QDir().mkpath(data))
            return false;
        nvxtest::useDataHome(data);
        bool ok = !nvxtest::writeFile(Worker::passwordFilePath(), tiTxt(0xFFE0, nvxtest::defaultVectors())).isEmpty();
        if (withPatch)
            ok = ok && !nvxtest::writeFile(Worker::patchFilePath(), tiTxt(kPatchEntry, pattern(64, 8))).isEmpty();
        return ok && !nvxtest::writeFile(firmwarePath(), firmware()).isEmpty();
    }

    QString firmwarePath() const { return QFileInfo(Worker::passwordFilePath()).path() + "/731-001-208.txt"; }

private slots:
    void cleanup()
    {
        sims.clear();
        discovery::setDriverFactory(nullptr);
    }

    void everyRunStartsFromItsOwnInstrument_data()
    {
        QTest::addColumn<int>("second"); // 0: none
        QTest::addColumn<bool>("identityGlitch"); // the first identity reply after the erase is spoilt
        QTest::newRow("1.10 then 1.10") << int(kOldLoader) << false;
        QTest::newRow("1.10 then 1.61") << 0x0161 << false;
        // The loader as read before the erase holds: it still gets its patch.
        QTest::newRow("1.10, identity spoilt after the erase") << 0 << true;
    }

    void everyRunStartsFromItsOwnInstrument()
    {
        QFETCH(int, second);
        QFETCH(bool, identityGlitch);
        QVERIFY(setUpHome(QStringLiteral("data"), true));
        nvxsim::Simulator &first = addInstrument(kOldLoader);
        if (second)
            addInstrument(uint16_t(second));
        Controller c;
        for (const auto &sim : sims) {
            QCOMPARE(nvxtest::readVersion(c, portOf(*sim)), QStringLiteral("1.10"));
            nvxsim::Faults faults;
            faults.corruptIdentityAfterErase = identityGlitch;
            sim->setFaults(faults);
            QCOMPARE(nvxtest::runJob(c, portOf(*sim), firmwarePath()), workflow::kStatusSuccess);
            QCOMPARE(sim->faults().corruptIdentityAfterErase, false);
            QCOMPARE(sim->read(0x1100, 480), pattern(480, 0x31));
            const QString offence = patchEntryBeforePatch(sim->commandLog());
            QVERIFY2(offence.isEmpty(), qPrintable(offence));
        }
        QVERIFY(countPatchTraffic(first.commandLog()) > 0);
        if (second > kOldLoader)
            QCOMPARE(countPatchTraffic(sims.back()->commandLog()), 0);
    }

    void missingPatchStopsTheRunBeforeTheErase_data()
    {
        QTest::addColumn<bool>("serviceErase");
        QTest::newRow("update") << false;
        QTest::newRow("service erase") << true;
    }

    void missingPatchStopsTheRunBeforeTheErase()
    {
        QFETCH(bool, serviceErase);
        QVERIFY(setUpHome(QStringLiteral("data"), false));
        nvxsim::Simulator &sim = addInstrument(kOldLoader);
        const std::vector<uint8_t> before = sim.read(0x1000, 0xF000);
        Controller c;
        // Reading needs no patch: the instrument is found and its version shown.
        QCOMPARE(nvxtest::readVersion(c, portOf(sim)), QStringLiteral("1.10"));
        QSignalSpy messages(&c, &Controller::controllerHandleMessageChanged);
        const QString file = (serviceErase ? QStringLiteral("Erase") : QString()) + firmwarePath();
        QCOMPARE(nvxtest::jobEnd(c, portOf(sim), file).refusal, workflow::RefusalReason::PatchMissing);
        QCOMPARE(nvxtest::changingCommands(sim), 0);
        QVERIFY(sim.read(0x1000, 0xF000) == before);
        QVERIFY(!messages.isEmpty());
        QCOMPARE(messages.last().at(0).toString(),
                 "Update refused: the loader of this instrument (version 1.10) needs the flash patch file "
                     + Worker::patchFilePath() + ", which is not installed");
    }

    void homeFolderOutsideLatin1()
    {
        if (QFile::decodeName(QFile::encodeName(QStringLiteral("Дмитрий"))) != QStringLiteral("Дмитрий"))
            QSKIP("the file-name encoding of this locale holds no Cyrillic; run under a UTF-8 locale");
        QVERIFY(setUpHome(QStringLiteral("Дмитрий/数据"), false));
        QVERIFY(Worker::passwordFilePath().contains(QStringLiteral("Дмитрий/数据")));
        nvxsim::Simulator &sim = addInstrument(0x0161);
        Controller c;
        QCOMPARE(nvxtest::readVersion(c, portOf(sim)), QStringLiteral("1.10"));
        QCOMPARE(nvxtest::runJob(c, portOf(sim), firmwarePath()), workflow::kStatusSuccess);
        QCOMPARE(sim.read(0x1100, 480), pattern(480, 0x31));
        QCOMPARE(nvxtest::readVersion(c, portOf(sim)), QStringLiteral("1.208"));
    }
};

QTEST_GUILESS_MAIN(EngineRunsTest)
#include "tst_engineruns.moc"
