// The controller's reads and updates against the virtual instrument: how a
// read finds the password and the version, what an update checks before it
// erases, what it keeps, and how an erased instrument is found again.
#include "controller.h"
#include "firmwarestore.h"
#include "infomemory.h"
#include "titxtimage.h"
#include "worker.h"
#include "testfiles.h"
#include "workflowjobs.h"

#include "simulator.h"

#include <QDir>
#include <QFile>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace nvxtest;

namespace {

constexpr uint32_t kCode = 0x1100;

// A small firmware image: code from kCode, its version record and a vector table.
QByteArray firmware(const std::vector<uint8_t> &vectors, const std::vector<uint8_t> &version = {1, 208})
{
    std::vector<uint8_t> code(64);
    for (size_t i = 0; i < code.size(); ++i)
        code[i] = static_cast<uint8_t>(0x30 + i);
    return tiTxt({{kCode, code}, {0xFFDC, version}, {0xFFE0, vectors}}, "\r\n");
}

QByteArray goodFirmware()
{
    return firmware(defaultVectors());
}

// Vectors of another build: every handler at the start of the code.
std::vector<uint8_t> otherVectors()
{
    std::vector<uint8_t> v;
    for (int i = 0; i < 16; ++i)
        v.insert(v.end(), {uint8_t(kCode & 0xFF), uint8_t(kCode >> 8)});
    return v;
}

QByteArray bytesOf(const std::vector<uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size()));
}

// A private mount namespace with a tiny tmpfs over `folder`. Empty on
// success, else why it cannot be done on this machine.
QString mountTinyDisk(const QString &folder)
{
    if (::geteuid() != 0)
        return QStringLiteral("mounting a tmpfs needs root");
    static bool unshared = false;
    if (!unshared) {
        // Only this thread and the threads it starts from now on see the mounts.
        if (::unshare(CLONE_NEWNS) != 0)
            return QStringLiteral("no private mount namespace: ") + QString::fromLocal8Bit(std::strerror(errno));
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return QStringLiteral("cannot make the mounts private: ") + QString::fromLocal8Bit(std::strerror(errno));
        unshared = true;
    }
    if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, "size=64k") != 0)
        return QStringLiteral("cannot mount a tmpfs: ") + QString::fromLocal8Bit(std::strerror(errno));
    return QString();
}

// Takes every free byte of the file system that holds folder.
void fillDisk(const QString &folder)
{
    QFile filler(folder + QStringLiteral("/filler"));
    if (!filler.open(QIODevice::WriteOnly))
        return;
    const QByteArray chunk(1024, 'x');
    while (filler.write(chunk) == chunk.size() && filler.flush()) {
    }
}

std::vector<uint8_t> foreignVectors()
{
    std::vector<uint8_t> v = defaultVectors();
    for (auto &b : v)
        b ^= 0x20;
    return v;
}

// The default instrument's firmware in another version.
QByteArray firmwareImage(uint8_t major, uint8_t minor)
{
    return firmware(defaultVectors(), {major, minor, 0xFF, 0xFF});
}

} // namespace

class UpdateSafetyTest : public QObject, InstrumentBench
{
    Q_OBJECT

    QString mounted;

    static QString folder() { return programFiles(); }

    void listBridge(const QString &serialNumber, bool listed = true) { nvxtest::listBridge(serialNumber, port(), listed); }

    QString writeFile(const QString &name, const QByteArray &contents) { return nvxtest::writeFile(home.filePath(name), contents); }

    static void writePasswordFile(const QByteArray &contents = passwordRecord(defaultVectors()))
    {
        QVERIFY(InstrumentBench::writePasswordFile(contents));
    }

    QString writeFirmware(uint8_t major, uint8_t minor)
    {
        return writeFile(QStringLiteral("fw-%1-%2.txt").arg(major).arg(minor), firmwareImage(major, minor));
    }

    int countCommands(uint8_t cmd) const
    {
        const auto log = sim->commandLog();
        return static_cast<int>(std::count_if(log.begin(), log.end(), [cmd](const nvxsim::Command &c) { return c.cmd == cmd; }));
    }

    void eraseInstrument() { sim->write(0x1000, std::vector<uint8_t>(0x10000 - 0x1000, 0xFF)); }

    // What an update interrupted after its write-back leaves: no firmware.
    void eraseFirmware() { sim->write(0x1100, std::vector<uint8_t>(0x10000 - 0x1100, 0xFF)); }

    QByteArray infoMemory() const { return bytesOf(sim->read(0x1000, 0x100)); }

    // The instrument as the update leaves it: its own information memory, the new version.
    void verifyUpdated(const QByteArray &infoBefore)
    {
        QByteArray expected = infoBefore;
        expected[0x90] = 1;
        expected[0x91] = char(208);
        QTRY_COMPARE_WITH_TIMEOUT(infoMemory(), expected, 5000);
        QCOMPARE(sim->read(kCode, 2), (std::vector<uint8_t>{0x30, 0x31}));
    }

private slots:
    void init() { QVERIFY(start()); }

    void cleanup()
    {
        stop();
        if (!mounted.isEmpty())
            ::umount2(QFile::encodeName(mounted).constData(), MNT_DETACH);
        mounted.clear();
    }

    void faultyFirmwareIsNeverFlashed_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("eraseRun");
        const QByteArray good = goodFirmware();
        const QByteArray html = "<!DOCTYPE html>\n<html><body>502 Bad Gateway</body></html>\n";
        const QByteArray intoInfo = QByteArray(good).replace("@1100", "@1000");
        const QByteArray noVectors = good.left(good.indexOf("@FFE0")) + "q\r\n";
        QTest::newRow("truncated") << good.left(good.size() / 2) << false;
        QTest::newRow("HTML page") << html << false;
        QTest::newRow("writes information memory") << intoInfo << false;
        QTest::newRow("no reset vector") << noVectors << false;
        QTest::newRow("service erase, truncated") << good.left(good.size() - 5) << true;
        QTest::newRow("service erase, HTML page") << html << true;
    }

    void faultyFirmwareIsNeverFlashed()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, eraseRun);
        const std::vector<uint8_t> before = sim->read(0x1000, 0xF000);
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        sim->clearCommandLog();
        const QString file = writeFile(QStringLiteral("bad.txt"), contents);
        QCOMPARE(jobEnd(c, port(), eraseRun ? QStringLiteral("Erase") + file : file).refusal,
                 workflow::RefusalReason::FirmwareFile);
        QCOMPARE(changingCommands(*sim), 0);
        QVERIFY(sim->read(0x1000, 0xF000) == before);
    }

    void swappedInstrumentIsRefusedWithNothingWritten_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("reasonPart");
        QTest::addColumn<workflow::RefusalReason>("reason");
        using R = workflow::RefusalReason;
        // Same password, same port, different calibration: only its memory tells it apart.
        QTest::newRow("another instrument on the bridge") << "memory" << "differs from the one read" << R::OtherInstrument;
        QTest::newRow("another bridge on the port") << "bridge" << "the bridge on" << R::OtherInstrument;
        // Which instrument is there, nothing tells.
        QTest::newRow("switched off") << "silent" << "cannot be read again" << R::SameInstrumentUnreadable;
    }

    void swappedInstrumentIsRefusedWithNothingWritten()
    {
        QFETCH(QString, change);
        QFETCH(QString, reasonPart);
        QFETCH(workflow::RefusalReason, reason);
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        nvxsim::Faults silent;
        silent.noSyncReply = change == QLatin1String("silent");
        sim->setFaults(silent);
        if (change == QLatin1String("bridge"))
            listBridge(QStringLiteral("NVX0002"));
        else if (change == QLatin1String("memory"))
            sim->write(0x10DA, {0x09, 0x11});
        const std::vector<uint8_t> before = sim->read(0x1000, 0xF000);
        sim->clearCommandLog();
        QSignalSpy messages(&c, &Controller::controllerHandleMessageChanged);
        QCOMPARE(jobEnd(c, port(), writeFile(QStringLiteral("fw.txt"), goodFirmware())).refusal, reason);
        QCOMPARE(changingCommands(*sim), 0);
        QVERIFY(sim->read(0x1000, 0xF000) == before);
        QVERIFY(!messages.isEmpty());
        QVERIFY2(messages.last().at(0).toString().contains(reasonPart), qPrintable(messages.last().at(0).toString()));
    }

    void retryAfterARefusalStillComparesTheInstrumentAsRead()
    {
        // A refused update must not leave the saved image altered for the next try.
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        QCOMPARE(runJob(c, port(), writeFile(QStringLiteral("bad.txt"), "<html>\n")), workflow::kStatusRefused);
        QCOMPARE(runJob(c, port(), writeFile(QStringLiteral("fw.txt"), goodFirmware())), workflow::kStatusSuccess);
    }

    void noEraseWithoutADurableBackup_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<bool>("refused");
        QTest::newRow("plain serial port") << "unlisted" << true;
        QTest::newRow("bridge without a serial number") << "no serial" << true;
        QTest::newRow("backup path blocked") << "blocked" << true;
        QTest::newRow("disk full") << "disk full" << true;
        // An alias leads to the same bridge, so the backup is made and found.
        QTest::newRow("port given by an alias") << "alias" << false;
        // Replaced by a file of its own; what the link names is left alone.
        QTest::newRow("backup name is a link") << "linked" << false;
    }

    void noEraseWithoutADurableBackup()
    {
        QFETCH(QString, setting);
        QFETCH(bool, refused);
        const QString backup = Worker::backupFilePath(QStringLiteral("NVX0001"));
        QString portName = port();
        if (setting == QLatin1String("unlisted")) {
            listBridge(QString(), false);
        } else if (setting == QLatin1String("no serial")) {
            listBridge(QString());
        } else if (setting == QLatin1String("blocked")) {
            QVERIFY(QDir().mkpath(backup));
        } else if (setting == QLatin1String("alias")) {
            portName = home.filePath(QStringLiteral("usb-FTDI_NVX7300_NVX0001-if00-port0"));
            QVERIFY(QFile::link(port(), portName));
        } else if (setting == QLatin1String("linked")) {
            QVERIFY(QFile::link(writeFile(QStringLiteral("elsewhere.txt"), "not a backup"), backup));
        } else if (setting == QLatin1String("disk full")) {
            const QString why = mountTinyDisk(folder());
            if (!why.isEmpty())
                QSKIP(qPrintable(why));
            mounted = folder();
            writePasswordFile();
            // Room for the image each read writes, then none at all.
            QFile image(Worker::memoryImageFilePath());
            QVERIFY(image.open(QIODevice::WriteOnly));
            image.write(QByteArray(1024, 'x'));
            image.close();
            fillDisk(folder());
        }

        const QByteArray infoBefore = infoMemory();
        Controller c;
        QCOMPARE(readVersion(c, portName), QStringLiteral("1.10"));
        sim->clearCommandLog();
        const workflow::JobEnd end = jobEnd(c, portName, writeFile(QStringLiteral("fw.txt"), goodFirmware()));
        const int status = end.status;
        if (!refused) {
            QCOMPARE(status, workflow::kStatusSuccess);
            QVERIFY(!QFileInfo(backup).isSymLink());
            QCOMPARE(infomemory::loadBackup(backup).bytes, infoBefore);
            if (setting == QLatin1String("linked")) {
                QFile elsewhere(home.filePath(QStringLiteral("elsewhere.txt")));
                QVERIFY(elsewhere.open(QIODevice::ReadOnly));
                QCOMPARE(elsewhere.readAll(), QByteArray("not a backup"));
            }
            verifyUpdated(infoBefore);
            return;
        }
        QCOMPARE(end.refusal, workflow::RefusalReason::Backup);
        QCOMPARE(changingCommands(*sim), 0);
        QCOMPARE(infoMemory(), infoBefore);
    }

    void backupIsKeptPerBridgeAndNeverReplacedByAnUnmarkedImage()
    {
        const QByteArray infoBytes = infoMemory();
        {
            Controller c;
            QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        }
        const QString backup = Worker::backupFilePath(QStringLiteral("NVX0001"));
        QVERIFY(backup.contains(QLatin1String("NVX0001")));
        QCOMPARE(infomemory::loadBackup(backup).bytes, infoBytes);

        // Something that is no NVX7300 on the same bridge leaves the backup alone.
        sim->write(0x1080, {0x55});
        sim->write(0x10DA, {0x00});
        {
            Controller c;
            QCOMPARE(readVersion(c, port()), QLatin1String(workflow::kVersionUnknown));
        }
        QCOMPARE(infomemory::loadBackup(backup).bytes, infoBytes);
        // Another bridge gets its own file.
        QVERIFY(Worker::backupFilePath(QStringLiteral("NVX0002")) != backup);
        QVERIFY(!Worker::backupFilePath(QStringLiteral("../..")).contains(QLatin1String("..")));
    }

    void erasedInstrumentWithItsBackupIsRecoveredByTheNextUpdate()
    {
        const QByteArray info = infoMemory();
        {
            Controller c;
            QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        }
        eraseInstrument();
        Controller c;
        QCOMPARE(readVersion(c, port()), QLatin1String(workflow::kVersionRecovery));
        QVERIFY(c.needsRecovery());
        QCOMPARE(runJob(c, port(), writeFile(QStringLiteral("fw.txt"), goodFirmware())), workflow::kStatusSuccess);
        QVERIFY(lastRecord().backupRestored);
        QCOMPARE(lastRecord().versionBefore, QLatin1String(workflow::kVersionRecovery));
        verifyUpdated(info);
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.208"));
        QVERIFY(!c.needsRecovery());
    }

    void informationMemoryLeftByAFailedFirmwareStepIsRestored()
    {
        // No backup anywhere: the instrument's own information memory is all there is.
        const QByteArray info = infoMemory();
        eraseFirmware();
        sim->write(0x1090, {0xFF, 0xFF});
        Controller c;
        QCOMPARE(readVersion(c, port()), QLatin1String(workflow::kVersionRecovery));
        QCOMPARE(runJob(c, port(), writeFile(QStringLiteral("fw.txt"), goodFirmware())), workflow::kStatusSuccess);
        QVERIFY(!lastRecord().backupRestored); // the instrument's own was written back
        verifyUpdated(info);
        // The backup came first.
        QCOMPARE(infomemory::withErasedVersion(infomemory::loadBackup(Worker::backupFilePath(QStringLiteral("NVX0001"))).bytes),
                 infomemory::withErasedVersion(info));
    }

    void erasedInstrumentIsNotRecoveredFromAnUnfitBackup_data()
    {
        QTest::addColumn<QString>("bridge");
        QTest::addColumn<QByteArray>("left"); // what the erase left at 0x10DA
        QTest::newRow("no bridge serial number") << QString() << QByteArray();
        QTest::newRow("another instrument's calibration") << QStringLiteral("NVX0001") << QByteArray("\x09\x11");
    }

    void erasedInstrumentIsNotRecoveredFromAnUnfitBackup()
    {
        QFETCH(QString, bridge);
        QFETCH(QByteArray, left);
        {
            Controller c;
            QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        }
        eraseInstrument();
        if (!left.isEmpty())
            sim->write(0x10DA, std::vector<uint8_t>(left.begin(), left.end()));
        listBridge(bridge, !bridge.isEmpty());
        Controller c;
        QCOMPARE(readVersion(c, port()), QLatin1String(workflow::kVersionUnknown));
        QVERIFY(!c.needsRecovery());
        sim->clearCommandLog();
        QCOMPARE(jobEnd(c, port(), writeFile(QStringLiteral("fw.txt"), goodFirmware())).refusal,
                 workflow::RefusalReason::NotIdentified);
        QCOMPARE(changingCommands(*sim), 0);
    }

    void damagedBackupIsNeverRestoredSilently_data()
    {
        QTest::addColumn<QByteArray>("latest"); // what the backup file holds; null: one bit changed; "-": no digest;
                                                // "+": 5000 bytes appended
        QTest::addColumn<bool>("olderCopy");
        QTest::addColumn<QString>("version");
        QTest::newRow("one bit changed, older copy intact") << QByteArray() << true
                                                            << workflow::kVersionRecoveryFromOlderBackup;
        QTest::newRow("one bit changed, no older copy") << QByteArray() << false << workflow::kVersionBackupDamaged;
        QTest::newRow("empty, as a full disk left it") << QByteArray("") << false << workflow::kVersionBackupDamaged;
        QTest::newRow("digest line deleted, older copy intact") << QByteArray("-") << true
                                                                << workflow::kVersionRecoveryFromOlderBackup;
        QTest::newRow("grown past a backup's size, older copy intact") << QByteArray("+") << true
                                                                       << workflow::kVersionRecoveryFromOlderBackup;
    }

    void damagedBackupIsNeverRestoredSilently()
    {
        QFETCH(QByteArray, latest);
        QFETCH(bool, olderCopy);
        QFETCH(QString, version);
        const QByteArray info = infoMemory();
        {
            Controller c;
            QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        }
        const QString backup = Worker::backupFilePath(QStringLiteral("NVX0001"));
        QByteArray text;
        QVERIFY(FirmwareStore(folder()).read(QFileInfo(backup).fileName(), 4096, &text));
        if (latest.isNull() || latest == "-") {
            const int at = text.indexOf("\n", 6 + 48 * 13) + 1; // a calibration line; still a valid image
            text[at] = text[at] == '0' ? '1' : '0';
            QVERIFY(infomemory::fromText(text.left(text.indexOf("q\n") + 2)).size() == 256);
            if (!latest.isNull())
                text.truncate(text.indexOf("q\n") + 2);
        } else if (latest == "+") {
            text.append(QByteArray(5000, '#'));
        } else {
            text = latest;
        }
        QFile damaged(backup);
        QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
        damaged.write(text);
        damaged.close();
        if (olderCopy) {
            QFile older(folder() + QLatin1Char('/') + FirmwareStore::previousGeneration(QFileInfo(backup).fileName()));
            QVERIFY(older.open(QIODevice::WriteOnly));
            older.write(infomemory::backupText(info));
        }
        eraseInstrument();

        Controller c;
        QCOMPARE(readVersion(c, port()), version);
        sim->clearCommandLog();
        const int status = runJob(c, port(), writeFile(QStringLiteral("fw.txt"), goodFirmware()));
        if (olderCopy) {
            QCOMPARE(status, workflow::kStatusSuccess);
            verifyUpdated(info);
            // A sound copy took the damaged one's place; that one is kept aside, whole.
            QCOMPARE(infomemory::loadBackup(backup).latest, infomemory::BackupState::Intact);
            const QStringList aside = QDir(folder()).entryList({QFileInfo(backup).fileName() + ".damaged-*"});
            QCOMPARE(aside.size(), 1);
            QCOMPARE(FirmwareStore::classify(aside.first()), FirmwareStore::Kind::InformationBackup);
            QFile kept(folder() + QLatin1Char('/') + aside.first());
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), text);
        } else {
            QCOMPARE(status, workflow::kStatusRefused);
            QCOMPARE(changingCommands(*sim), 0);
        }
    }

    void restartAfterAnUpdateOpensWithTheNewFirmwaresPassword()
    {
        // The password file knows only the vectors of the firmware before the update.
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        sim->clearCommandLog();
        QCOMPARE(runJob(c, port(), writeFile(QStringLiteral("fw.txt"), firmware(otherVectors()))),
                 workflow::kStatusSuccess);
        QCOMPARE(sim->read(0xFFE0, 32), otherVectors());
        // After the erase: the update's standard password and the restart's,
        // each accepted.
        const auto log = sim->commandLog();
        const auto erase = std::find_if(log.begin(), log.end(), [](const nvxsim::Command &cmd) { return cmd.cmd == 0x18; });
        QVERIFY(erase != log.end());
        int passwords = 0;
        for (auto it = erase; it != log.end(); ++it) {
            if (it->cmd != 0x10)
                continue;
            ++passwords;
            QVERIFY2(it->acked, "a password after the erase was refused");
        }
        QCOMPARE(passwords, 2);
    }

    void readThatNeverReachesTheInstrumentSaysWhy_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("version");
        QTest::newRow("port held by another program") << "busy" << workflow::kVersionPortBusy;
        QTest::newRow("switched off") << "silent" << workflow::kVersionNotConnected;
        QTest::newRow("falls silent during the read") << "falls silent" << workflow::kVersionNotConnected;
        QTest::newRow("unplugged") << "unplugged" << workflow::kVersionNotConnected;
        QTest::newRow("answers, but no password opens it") << "locked" << workflow::kVersionUnknown;
        // A line error, not a wrong password: no other password is sent.
        QTest::newRow("opened, then a reply spoilt") << "spoilt" << workflow::kVersionNotConnected;
        // Nothing the instrument said: the old image cannot make way for the new one.
        QTest::newRow("memory image file cannot be removed") << "image stuck" << workflow::kVersionFilesUnusable;
        QTest::newRow("password file cannot be read") << "passwords unreadable" << workflow::kVersionFilesUnusable;
    }

    void readThatNeverReachesTheInstrumentSaysWhy()
    {
        QFETCH(QString, setting);
        QFETCH(QString, version);
        QString portName = port();
        QSerialPort holder(portName);
        nvxsim::Faults faults;
        if (setting == QLatin1String("busy"))
            QVERIFY(holder.open(QIODevice::ReadWrite));
        else if (setting == QLatin1String("silent"))
            faults.noSyncReply = true;
        else if (setting == QLatin1String("falls silent"))
            faults.silenceAfterFrames = 2;
        else if (setting == QLatin1String("unplugged"))
            portName = home.filePath(QStringLiteral("no-such-port"));
        else if (setting == QLatin1String("locked"))
            sim->write(0xFFE0, std::vector<uint8_t>(32, 0x42));
        else if (setting == QLatin1String("spoilt")) { // the last record opens it, then the image's reply is spoilt
            writePasswordFile(passwordRecord(foreignVectors()) + passwordRecord(defaultVectors()));
            faults.corruptOneReplyAfterFrames = 3;
        }
        else if (setting == QLatin1String("image stuck"))
            QVERIFY(QDir().mkpath(Worker::memoryImageFilePath() + QStringLiteral("/in-the-way")));
        else if (setting == QLatin1String("passwords unreadable"))
            QVERIFY(QFile::remove(Worker::passwordFilePath()) && QDir().mkpath(Worker::passwordFilePath()));
        sim->setFaults(faults);
        Controller c;
        QCOMPARE(readVersion(c, portName), version);
        const auto log = sim->commandLog();
        if (setting == QLatin1String("spoilt"))
            QCOMPARE(std::count_if(log.begin(), log.end(), [](const nvxsim::Command &c) { return c.cmd == 0x10; }), 1L);
        // Only an answer from the instrument lets a mass erase go ahead.
        if (version != QLatin1String(workflow::kVersionUnknown)) {
            sim->clearCommandLog();
            const QString erase = QStringLiteral("Erase") + writeFile(QStringLiteral("fw.txt"), goodFirmware());
            QCOMPARE(jobEnd(c, portName, erase).refusal, workflow::RefusalReason::NotRead);
            QCOMPARE(changingCommands(*sim), 0);
        }
    }

    void informationImageText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("complete");
        QByteArray bytes(256, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i);
        const QByteArray text = infomemory::toText(bytes);
        QTest::newRow("as written") << text << true;
        QTest::newRow("one line short") << QByteArray(text).remove(6, 48) << false;
        QTest::newRow("extra byte at 0x1100") << QByteArray(text).replace("q\n", "@1100\n00\nq\n") << false;
        QTest::newRow("a byte twice") << QByteArray(text).replace("q\n", "@1000\n00\nq\n") << false;
        QTest::newRow("no end line") << QByteArray(text).replace("q\n", "") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }

    void informationImageText()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, complete);
        QCOMPARE(infomemory::fromText(text).size(), complete ? 256 : 0);
    }

    void writeBackEndsWithTheMarker()
    {
        const QByteArray info = infoMemory();
        const QByteArray text = infomemory::toRestoreText(info);
        QVERIFY(text.size() < Worker::kMemoryImageSize);
        QCOMPARE(infomemory::fromText(text), infomemory::withErasedVersion(info));
        titxt::Image blocks;
        QString reason;
        QVERIFY(titxt::parse(text, &blocks, &reason));
        QCOMPARE(blocks.last().address, 0x1080u);
        QCOMPARE(blocks.last().bytes.size(), 2);
    }

    void readTriesRecordsFromTheLastOneBackwards()
    {
        // Records: good, foreign, foreign — two refusals come first.
        writePasswordFile(passwordRecord(defaultVectors()) + passwordRecord(foreignVectors())
                          + passwordRecord(foreignVectors()));
        Controller c;
        QSignalSpy statuses(&c, &Controller::controllerHandleStatusChanged);
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        QCOMPARE(countCommands(0x10), 3);
        // A read reports no status of its own: kStatusReadDone stays inside the worker.
        QCOMPARE(statuses.count(), 0);
    }

    void unterminatedLastLineGivesOneAttemptFewerRecords()
    {
        // Seven line feeds (the last line unterminated): one attempt, at line 3,
        // then the standard password of an erased instrument.
        QByteArray file = passwordRecord(defaultVectors()) + passwordRecord(defaultVectors());
        file.chop(2);
        QCOMPARE(file.count('\n'), 7);
        writePasswordFile(file);
        Controller c;
        const int sessionsBefore = sim->stats().sessions;
        QCOMPARE(readVersion(c, port()), QLatin1String(workflow::kVersionUnknown));
        QCOMPARE(sim->stats().sessions - sessionsBefore, 2);
    }

    void noPasswordOpensTheInstrument_data()
    {
        QTest::addColumn<QByteArray>("passwordFile");
        QTest::newRow("foreign records") << passwordRecord(foreignVectors()) + passwordRecord(foreignVectors());
        QTest::newRow("fewer than four lines") << QByteArray("@FFE0\r\nq\r\n");
        QTest::newRow("empty") << QByteArray();
    }

    void noPasswordOpensTheInstrument()
    {
        QFETCH(QByteArray, passwordFile);
        writePasswordFile(passwordFile);
        Controller c;
        QCOMPARE(readVersion(c, port()), QLatin1String(workflow::kVersionUnknown));
        // Nothing read, so an update is refused without touching the instrument.
        const QString fw = writeFirmware(1, 208);
        sim->clearCommandLog();
        QCOMPARE(jobStatuses(c, port(), fw), QList<int>{workflow::kStatusRefused});
        QVERIFY(sim->commandLog().empty());
    }

    void foreignMarkerIsUnknownAndRefusesUpdate()
    {
        writePasswordFile(passwordRecord(defaultVectors()) + passwordRecord(foreignVectors()));
        sim->write(0x1080, {0x55});
        Controller c;
        QCOMPARE(readVersion(c, port()), QLatin1String(workflow::kVersionUnknown));
        QCOMPARE(countCommands(0x10), 2); // the first successful read ended the search
        sim->clearCommandLog();
        QCOMPARE(jobStatuses(c, port(), writeFirmware(1, 208)), QList<int>{workflow::kStatusRefused});
        QCOMPARE(countCommands(0x18), 0);
    }

    void versionBytesAreDecimalMajorDotMinor()
    {
        sim->write(0x1090, {0x02, 0x0B});
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("2.11"));
    }

    // Reads queued one behind the other: each version is told with the port
    // it belongs to, and busy spans them all. An update of a demo port ends
    // as the engine ends for a port it cannot open.
    void demoPortsReadAsOneDotZeroAndCannotBeOpened()
    {
        Controller c;
        QSignalSpy busy(&c, &Controller::busyChanged);
        QStringList answers;
        connect(&c, &Controller::controllerHandleVersionChanged, this,
                [&] { answers << c.readPort() + QLatin1Char(' ') + c.version(); });
        c.read(QStringLiteral("demoport1"));
        c.read(QStringLiteral("demoport2"));
        QVERIFY(c.busy());
        QTRY_VERIFY_WITH_TIMEOUT(!c.busy(), nvxtest::kJobMs);
        QCOMPARE(answers, (QStringList{QStringLiteral("demoport1 1.0"), QStringLiteral("demoport2 1.0")}));
        QCOMPARE(busy.size(), 2);

        QSignalSpy statuses(&c, &Controller::controllerHandleStatusChanged);
        c.start(QStringLiteral("demoport2"), writeFirmware(1, 208));
        QTRY_VERIFY_WITH_TIMEOUT(!c.busy(), nvxtest::kJobMs);
        QVERIFY(!statuses.isEmpty());
        for (const QList<QVariant> &status : qAsConst(statuses))
            QCOMPARE(status.at(0).toInt(), workflow::kStatusPortFailed);
    }

    void updateProgramsFirmwareAndRestoresInformationMemory()
    {
        const std::vector<uint8_t> infoBefore = sim->read(0x1000, 0x100);
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));

        const QList<int> statuses = jobStatuses(c, port(), writeFirmware(1, 208));
        QVERIFY(!statuses.isEmpty());
        QCOMPARE(statuses.last(), workflow::kStatusSuccess);
        QVERIFY(statuses.count(workflow::kStatusProgress) >= 20); // every erase cycle and block ticks
        QCOMPARE(statuses.count(workflow::kStatusProgress), c.progressTotal()); // counted before the run

        // The firmware is in place and information memory is the instrument's
        // own, except the version, which the new firmware records when it starts.
        QTRY_VERIFY_WITH_TIMEOUT(!sim->hostConnected(), 5000);
        QCOMPARE(sim->read(0x1100, 4), (std::vector<uint8_t>{0x30, 0x31, 0x32, 0x33}));
        std::vector<uint8_t> expected = infoBefore;
        expected[0x90] = 1;
        expected[0x91] = 208;
        QTRY_COMPARE_WITH_TIMEOUT(sim->read(0x1000, 0x100), expected, 5000);
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.208"));
        // The window's updates are on the record too.
        QCOMPARE(lastRecord().result, QStringLiteral("Update Complete"));
        QCOMPARE(lastRecord().versionBefore, QStringLiteral("1.10"));
    }

    void eraseRunProgramsTheFileWithoutImageOrRestart()
    {
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10")); // an erase goes only after a read
        const QString fw = writeFirmware(1, 208);
        const QList<int> statuses = jobStatuses(c, port(), QStringLiteral("Erase") + fw);
        QVERIFY(!statuses.isEmpty());
        QCOMPARE(statuses.last(), workflow::kStatusSuccess);
        QCOMPARE(statuses.count(workflow::kStatusProgress), c.progressTotal());
        QVERIFY(sim->stats().massErases >= 1);
        QCOMPARE(sim->read(0x1100, 2), (std::vector<uint8_t>{0x30, 0x31}));
        QCOMPARE(sim->read(0x1080, 1), std::vector<uint8_t>{0xFF}); // no image written back
    }

    void pulledCableEndsTheUpdateWithAFailure()
    {
        Controller c;
        QCOMPARE(readVersion(c, port()), QStringLiteral("1.10"));
        nvxsim::Faults f;
        f.hangUpAfterFrames = sim->stats().frames + 30; // inside the erase cycles
        sim->setFaults(f);
        const QList<int> statuses = jobStatuses(c, port(), writeFirmware(1, 208));
        QVERIFY(!statuses.isEmpty());
        QVERIFY2(statuses.last() > workflow::kStatusSuccess, qPrintable(QString::number(statuses.last())));
        // Erased part-way: what it runs now only the next read can tell.
        const UpdateRecord record = lastRecord();
        QCOMPARE(record.status, statuses.last());
        QCOMPARE(record.versionBefore, QStringLiteral("1.10"));
        QCOMPARE(record.versionAfter, QString());
        QCOMPARE(record.result, QStringLiteral("NVX7300 must be updated again"));
    }

    void destroyingTheControllerWaitsForTheJob()
    {
        nvxsim::Config slow;
        slow.baud = 9600;
        QVERIFY(start(QStringLiteral("NVX0001"), slow));
        {
            Controller c;
            c.read(port());
            QTRY_VERIFY_WITH_TIMEOUT(sim->stats().frames > 0, 10000);
        }
        // The read ran to its end: both chunks of information memory were read.
        const auto log = sim->commandLog();
        QCOMPARE(std::count_if(log.begin(), log.end(), [](const nvxsim::Command &cmd) {
                     return cmd.cmd == 0x14 && cmd.address >= 0x1000 && cmd.address < 0x1100;
                 }),
                 2L);
    }
};

QTEST_GUILESS_MAIN(UpdateSafetyTest)
#include "tst_updatesafety.moc"
