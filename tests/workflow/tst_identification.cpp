// What a version read makes of what it found, case by case: an update or a
// service erase may go ahead only with a way back to the instrument's own
// information memory, or when there is none to keep.
#include "identification.h"

#include <QtTest>

using namespace workflow;
using infomemory::BackupCopy;
using infomemory::BackupState;
using portcheck::PortState;

namespace {

struct Expected
{
    Finding finding;
    const char *version;
    Restore restore;
    bool mayUpdate;
    EraseRule erase;
    bool backUp = false;   // the image read becomes the backup
    bool asksPort = false; // the answer waits for why the port did not open
};

// An NVX7300's information memory: calibration, the marker, version 1.208.
QByteArray instrumentImage()
{
    QByteArray bytes(infomemory::kSize, char(0xFF));
    for (int i = 0xC0; i < infomemory::kSize; ++i)
        bytes[i] = char(i * 7);
    bytes[infomemory::kMarkerOffset] = infomemory::kMarker;
    bytes[infomemory::kMajorOffset] = 1;
    bytes[infomemory::kMinorOffset] = char(208);
    return bytes;
}

QByteArray erasedImage()
{
    return QByteArray(infomemory::kSize, char(0xFF));
}

QByteArray withByte(QByteArray bytes, int offset, char value)
{
    bytes[offset] = value;
    return bytes;
}

BackupCopy backup(const QByteArray &bytes, BackupState latest = BackupState::Intact, bool fromOlderCopy = false)
{
    BackupCopy copy;
    copy.bytes = bytes;
    copy.latest = latest;
    copy.fromOlderCopy = fromOlderCopy;
    return copy;
}

ReadFacts opened(const QByteArray &image, const BackupCopy &copy, bool byStandardPassword)
{
    ReadFacts facts;
    facts.opened = true;
    facts.byStandardPassword = byStandardPassword;
    facts.image = image;
    facts.backup = copy;
    facts.lastResult = bsl::kResultSuccess;
    return facts;
}

ReadFacts byStoredPassword(const QByteArray &image, const BackupCopy &copy = BackupCopy())
{
    return opened(image, copy, false);
}

// After every stored password failed: the password of an erased instrument.
ReadFacts byStandardPassword(const QByteArray &image, const BackupCopy &copy = BackupCopy())
{
    return opened(image, copy, true);
}

ReadFacts notOpened(int lastResult, PortState port = PortState::Failed, bool failedHere = false)
{
    ReadFacts facts;
    facts.lastResult = lastResult;
    facts.port = port;
    facts.failedHere = failedHere;
    facts.backup = backup(instrumentImage()); // never restored onto what was not read
    return facts;
}

} // namespace

Q_DECLARE_METATYPE(workflow::ReadFacts)
Q_DECLARE_METATYPE(Expected)

class IdentificationTest : public QObject
{
    Q_OBJECT

private slots:
    void readDecidesWhatMayFollow_data()
    {
        QTest::addColumn<ReadFacts>("facts");
        QTest::addColumn<Expected>("expected");
        const QByteArray image = instrumentImage();
        const QByteArray erased = erasedImage();
        // The update's write-back stopped before the word with the marker.
        QByteArray partWritten = erased;
        partWritten.replace(0xC0, 0x20, image.mid(0xC0, 0x20));
        const QByteArray otherCalibration = withByte(erased, 0xDA, 0x09);
        const QByteArray foreignMarker = withByte(image, infomemory::kMarkerOffset, 0x55);
        const int portFailed = bsl::kResultHelpOrPort;

        // What may follow a read, by what it found.
        const Expected identified{Finding::Identified, "1.208", Restore::Image, true, EraseRule::AfterBackup, true};
        const Expected fromBackup{Finding::RecoveryFromBackup, kVersionRecovery, Restore::Backup, true,
                                  EraseRule::AfterBackup};
        const Expected unidentified{Finding::Unidentified, kVersionUnknown, Restore::Nothing, false,
                                    EraseRule::NothingToKeep};
        const Expected backupDamaged{Finding::BackupDamaged, kVersionBackupDamaged, Restore::Nothing, false,
                                     EraseRule::NothingToKeep};
        const Expected notConnected{Finding::NotConnected, kVersionNotConnected, Restore::Nothing, false,
                                    EraseRule::Refused};
        const Expected portBusy{Finding::PortBusy, kVersionPortBusy, Restore::Nothing, false, EraseRule::Refused,
                                false, true};
        const Expected filesUnusable{Finding::FilesUnusable, kVersionFilesUnusable, Restore::Nothing, false,
                                     EraseRule::Refused};

        QTest::newRow("identified: its image is backed up and restored") << byStoredPassword(image) << identified;
        QTest::newRow("erased, its backup fits") << byStandardPassword(erased, backup(image)) << fromBackup;
        QTest::newRow("written back part-way, its backup fits")
            << byStandardPassword(partWritten, backup(image)) << fromBackup;
        QTest::newRow("opened by a stored password, marker not yet back, backup fits")
            << byStoredPassword(partWritten, backup(image)) << fromBackup;
        QTest::newRow("erased, latest backup damaged, older copy sound")
            << byStandardPassword(erased, backup(image, BackupState::Damaged, true))
            << Expected{Finding::RecoveryFromOlderBackup, kVersionRecoveryFromOlderBackup, Restore::Backup, true,
                        EraseRule::AfterBackup};
        QTest::newRow("erased, backup damaged, no older copy")
            << byStandardPassword(erased, backup(QByteArray(), BackupState::Damaged)) << backupDamaged;
        QTest::newRow("erased, no backup") << byStandardPassword(erased) << unidentified;
        QTest::newRow("erased, the backup is another instrument's")
            << byStandardPassword(otherCalibration, backup(image)) << unidentified;
        QTest::newRow("firmware step failed, information memory whole")
            << byStandardPassword(withByte(withByte(image, infomemory::kMajorOffset, char(0xFF)),
                                           infomemory::kMinorOffset, char(0xFF)))
            << Expected{Finding::RecoveryFromOwnImage, kVersionRecovery, Restore::Image, true,
                        EraseRule::AfterBackup};
        QTest::newRow("firmware step failed, the backup fits as well")
            << byStandardPassword(image, backup(image)) << fromBackup;
        QTest::newRow("foreign marker") << byStoredPassword(foreignMarker) << unidentified;
        QTest::newRow("foreign marker, this bridge's backup is never put on it")
            << byStoredPassword(foreignMarker, backup(image)) << unidentified;
        QTest::newRow("incomplete image") << byStoredPassword(QByteArray()) << unidentified;
        QTest::newRow("incomplete image, backup damaged")
            << byStoredPassword(QByteArray(), backup(QByteArray(), BackupState::Damaged)) << backupDamaged;

        ReadFacts demo = notOpened(portFailed);
        demo.demoPort = true;
        QTest::newRow("demo instrument")
            << demo << Expected{Finding::Demo, "1.0", Restore::Nothing, false, EraseRule::Refused};
        ReadFacts demoOpened = byStoredPassword(image);
        demoOpened.demoPort = true;
        QTest::newRow("demo port that opens after all: backed up before any erase")
            << demoOpened << Expected{Finding::Demo, "1.0", Restore::Image, false, EraseRule::AfterBackup, true};

        QTest::newRow("answers, but no password opens it")
            << notOpened(bsl::runResult(bsl::kNak))
            << Expected{Finding::NotOpened, kVersionUnknown, Restore::Nothing, false, EraseRule::NothingToKeep};
        QTest::newRow("port busy") << notOpened(portFailed, PortState::Busy) << portBusy;
        QTest::newRow("port free again when asked") << notOpened(portFailed, PortState::Openable) << portBusy;
        QTest::newRow("port not permitted")
            << notOpened(portFailed, PortState::NotPermitted)
            << Expected{Finding::PortNotPermitted, kVersionPortNotPermitted, Restore::Nothing, false,
                        EraseRule::Refused, false, true};
        Expected portGone = notConnected;
        portGone.asksPort = true;
        QTest::newRow("port gone") << notOpened(portFailed, PortState::Missing) << portGone;
        QTest::newRow("switched off") << notOpened(bsl::kResultNoSync) << notConnected;
        QTest::newRow("falls silent") << notOpened(bsl::kResultNoReply) << notConnected;
        ReadFacts lineFailed = notOpened(bsl::runResult(bsl::kFrameError));
        lineFailed.failedAfterOpening = true;
        QTest::newRow("opened, then a reply spoilt on the line")
            << lineFailed << Expected{Finding::LineFailed, kVersionNotConnected, Restore::Nothing, false, EraseRule::Refused};
        QTest::newRow("no attempt made") << notOpened(0) << notConnected;
        QTest::newRow("own files unusable")
            << notOpened(bsl::kResultOutputFile, PortState::Failed, true) << filesUnusable;
        QTest::newRow("own files unusable, then the port failed")
            << notOpened(portFailed, PortState::Busy, true) << filesUnusable;
    }

    void readDecidesWhatMayFollow()
    {
        QFETCH(ReadFacts, facts);
        QFETCH(Expected, expected);
        const Identification id = identify(facts);
        QVERIFY(id.finding == expected.finding);
        QCOMPARE(id.version, QString::fromLatin1(expected.version));
        QVERIFY(id.restore == expected.restore);
        QCOMPARE(id.mayUpdate, expected.mayUpdate);
        QVERIFY(id.erase == expected.erase);
        QCOMPARE(id.backUpImage, expected.backUp);
        QCOMPARE(asksPort(facts), expected.asksPort);
    }
};

QTEST_GUILESS_MAIN(IdentificationTest)
#include "tst_identification.moc"
