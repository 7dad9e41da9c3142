#include "worker.h"

#include "backend.h"
#include "cataloguetrust.h"
#include "engineresult.h"
#include "firmwarecheck.h"
#include "firmwarestore.h"
#include "infomemory.h"
#include "jobguard.h"
#include "paths.h"
#include "portcheck.h"
#include "safefile.h"
#include "titext.h"
#include "titxtimage.h"
#include "updaterecord.h"
#include "versionnumber.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QUuid>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace workflow;

namespace {

constexpr int kLinesPerPasswordRecord = 4;
constexpr qint64 kMaxHashedFile = 16 * 1024 * 1024; // far above any firmware file the checks let through
constexpr qint64 kMaxFirmwareFile = 1024 * 1024;   // several times a full 64 KiB image in text
constexpr qint64 kMaxPatchFile = 64 * 1024;

// The password of an erased instrument: its interrupt vectors, all erased.
const char kStandardPasswordRecord[] = "@FFE0\n"
                                       "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\n"
                                       "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\n"
                                       "q\n";
constexpr uint32_t kVectorTable = 0xFFE0; // the instrument's password
constexpr int kVectorTableSize = 32;

const char kDemoPortPrefix[] = "demoport";

// A back end whose messages reach the worker, with the flash patch at hand;
// what becomes of its statuses depends on the job.
std::unique_ptr<BackEnd> newBackEnd(Worker *worker)
{
    auto backEnd = std::make_unique<BackEnd>();
    QObject::connect(backEnd.get(), &BackEnd::messageChanged, worker, &Worker::workerMessageChanged);
    backEnd->setPatchFile(Worker::patchFilePath());
    return backEnd;
}

// For a read: every status passes on.
std::unique_ptr<BackEnd> newReadBackEnd(Worker *worker)
{
    auto backEnd = newBackEnd(worker);
    QObject::connect(backEnd.get(), &BackEnd::statusChanged, worker, &Worker::workerStatusChanged);
    return backEnd;
}

// Loaders up to 1.10 program flash only with the patch.
bool needsPatch(int loaderVersion)
{
    constexpr int kLastLoaderNeedingPatch = 0x0110;
    return loaderVersion != 0 && loaderVersion <= kLastLoaderNeedingPatch;
}

// Without the patch a run would stop after the erase. checked is the job's
// copy of the patch.
Refusal patchRefusal(int loaderVersion, const QString &checked)
{
    const QString path = Worker::patchFilePath();
    if (!needsPatch(loaderVersion)
        || bsl::checkTIText(QFile::encodeName(checked).constData(), nullptr) == 0)
        return {};
    return {RefusalReason::PatchMissing,
            QStringLiteral("the loader of this instrument (version %1) needs the flash patch file %2, which %3")
                .arg(QString::asprintf("%X.%02X", loaderVersion >> 8, loaderVersion & 0xFF), path,
                     QFileInfo::exists(path) ? QStringLiteral("cannot be read") : QStringLiteral("is not installed"))};
}

// The loader as the read before the erase found it holds for the job's runs
// after the erase: a glitch on their own read of it cannot make them guess
// (a rate, or flash programming without the patch). Without it nothing is
// erased.
Refusal loaderRefusal(BackEnd &backEnd)
{
    const std::optional<bsl::LoaderIdentity> loader = backEnd.loaderIdentity();
    if (!loader)
        return {RefusalReason::LoaderUnknown,
                QStringLiteral("loader check failed: the version of the instrument's bootstrap loader could not be "
                               "read; try again")};
    backEnd.setKnownLoader(loader);
    return patchRefusal(loader->versionWord(), backEnd.patchFile());
}

// For a reprogramming job: its runs' progress ticks pass on, and are counted
// in ticks; their results do not, since the job ends with one status of its
// own (one run may be followed by others, and only the job knows what they
// add up to).
std::unique_ptr<BackEnd> newJobBackEnd(Worker *worker, int *ticks)
{
    auto backEnd = newBackEnd(worker);
    QObject::connect(backEnd.get(), &BackEnd::statusChanged, worker, [worker, ticks](int status) {
        if (status == kStatusProgress) {
            ++*ticks;
            worker->workerStatusChanged(status);
        }
    });
    return backEnd;
}

bool writeTemporary(std::unique_ptr<QTemporaryFile> &file, const QByteArray &contents)
{
    if (!file) {
        file = std::make_unique<QTemporaryFile>(paths::temporaryFolder() + QStringLiteral("/nvx7300-password-XXXXXX.txt"));
        if (!file->open()) {
            file.reset();
            return false;
        }
    }
    file->resize(0);
    file->seek(0);
    return file->write(contents) == contents.size() && file->flush();
}

// A password record holding the vector table that a firmware image programs,
// unset bytes erased: what opens the instrument once the image is in.
QByteArray firmwarePasswordRecord(const titxt::Image &blocks)
{
    QByteArray vectors(kVectorTableSize, char(0xFF));
    for (const titxt::Block &block : blocks) {
        for (int i = 0; i < block.bytes.size(); ++i) {
            const uint32_t address = block.address + uint32_t(i);
            if (address >= kVectorTable && address < kVectorTable + kVectorTableSize)
                vectors[int(address - kVectorTable)] = block.bytes[i];
        }
    }
    return titxt::format({{kVectorTable, vectors}});
}

bool writePrivate(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() && file.flush();
}

// Lower-case hex digest of the file; empty when it cannot be read.
QString sha256Of(const QString &path)
{
    if (QFileInfo(path).size() > kMaxHashedFile)
        return QString();
    return catalogue::fileSha256Hex(path);
}

// What the read found, for the log file.
void logFinding(Finding finding, const QString &comPort, const QString &backupPath, const QString &failedHereWhy)
{
    switch (finding) {
    case Finding::Identified:
        qDebug().noquote() << "We have an NVX7300 connected";
        return;
    case Finding::Demo:
        return;
    case Finding::RecoveryFromOlderBackup:
        qWarning().noquote() << "The backup " + backupPath + " failed its check; the previous copy is used";
        Q_FALLTHROUGH();
    case Finding::RecoveryFromBackup:
        qDebug().noquote() << "NVX7300 needs recovery from the backup " + backupPath;
        return;
    case Finding::RecoveryFromOwnImage:
        qDebug().noquote() << "NVX7300 needs recovery from its own information memory";
        return;
    case Finding::BackupDamaged:
        qWarning().noquote() << "The backup " + backupPath + " failed its check and cannot restore the instrument";
        break;
    case Finding::Unidentified:
        qDebug().noquote() << "Attempt to update something which is not an NVX7300";
        break;
    case Finding::FilesUnusable:
        qCritical().noquote() << "Reading the NVX7300 on " + comPort + " failed on this computer: " + failedHereWhy;
        break;
    case Finding::LineFailed:
        qWarning().noquote() << "The read of the NVX7300 on " + comPort
                + " failed after a password opened it: the line, not the password; no other password is tried";
        break;
    case Finding::NotOpened:
    case Finding::PortBusy:
    case Finding::PortNotPermitted:
    case Finding::NotConnected:
        break;
    }
    qDebug().noquote() << "Memory read failed";
}

} // namespace

Worker::Worker(QObject *parent)
    : QObject(parent)
{
}

Worker::~Worker() = default;

QString Worker::passwordFilePath()
{
    return paths::inDataFolder(QStringLiteral("firmware/731-0-00-2019-01-01-1200.txt"));
}

QString Worker::patchFilePath()
{
    return paths::inDataFolder(QStringLiteral("firmware/PATCH.TXT"));
}

QString Worker::memoryImageFilePath()
{
    return paths::inDataFolder(QStringLiteral("firmware/731-0-01-2019-01-01-1200.txt"));
}

QString Worker::backupFilePath(const QString &bridgeSerialNumber)
{
    const QString name = FirmwareStore::backupName(bridgeSerialNumber);
    if (name.isEmpty())
        return QString();
    return paths::inDataFolder(QStringLiteral("firmware/") + name);
}

QString Worker::firmwareVersion(const QString &firmwarePath)
{
    const VersionNumber number = VersionNumber::parse(FirmwareStore::versionOfFirmwareFile(firmwarePath));
    if (!number.isValid())
        return QString();
    return QString::number(number.major) + QLatin1Char('.') + QString::number(number.minor);
}

void Worker::setBridgeSerial(const QString &comPort, const QString &serialNumber)
{
    m_serialPort = comPort;
    m_serialNumber = serialNumber;
}

QString Worker::bridgeSerialFor(const QString &comPort) const
{
    return comPort == m_serialPort ? m_serialNumber : QString();
}

// What a job checks before its erase goes to a folder of this worker's own:
// other processes (update --all runs one per instrument) work with the same
// store at the same time.
QString Worker::jobFolder()
{
    if (!m_jobImageFolder) {
        auto folder = std::make_unique<QTemporaryDir>(paths::temporaryFolder() + QStringLiteral("/nvx7300-job-XXXXXX"));
        if (!folder->isValid())
            return QString();
        m_jobImageFolder = std::move(folder);
    }
    return m_jobImageFolder->path();
}

QString Worker::standardPasswordFile()
{
    if (!m_standardPassword && !writeTemporary(m_standardPassword, kStandardPasswordRecord))
        return QString();
    return m_standardPassword->fileName();
}

int Worker::status() const { return m_status; }
QString Worker::message() const { return m_message; }
QString Worker::version() const { return m_version; }

void Worker::setStatus(int status)
{
    m_status = status;
    if (m_readJob == 0)
        emit workerHandleStatusChanged(status);
}

void Worker::setMessage(const QString &message)
{
    if (message == m_message)
        return;
    m_message = message;
    if (m_readJob == 0)
        emit workerHandleMessageChanged(message);
}

void Worker::setVersion(const QString &version)
{
    m_version = version;
    emit workerHandleVersionChanged(version);
}

void Worker::workerStatusChanged(int status)
{
    m_status = status;
    emit workerHandleStatusChanged(status);
}

void Worker::workerMessageChanged(const QString &message)
{
    if (message == m_message)
        return;
    m_message = message;
    emit workerHandleMessageChanged(message);
}

void Worker::workerVersionChanged(const QString &version)
{
    m_version = version;
    emit workerHandleVersionChanged(version);
}

void Worker::doWorkRead(const QString &comPort)
{
    qDebug().noquote() << "doWorkRead";
    const std::unique_ptr<BackEnd> backEnd = newReadBackEnd(this);
    if (m_readBusy == 1)
        return;
    m_readBusy = 1;

    qDebug().noquote() << "doWorkRead connect signals";
    m_readJob = 1;

    qDebug().noquote() << "doWorkRead setup locations";
    const QString passwordFile = passwordFilePath();
    const QString imageFile = memoryImageFilePath();
    qDebug().noquote() << "doWorkRead open files";

    int lineCount = 0;
    // Only a missing password file means no passwords; one that is there and
    // cannot be read says nothing about the instrument.
    QString passwordsUnreadable;
    QFile file(passwordFile);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << "doWorkRead cannot open password file " + passwordFile;
        if (safefile::exists(passwordFile))
            passwordsUnreadable = QStringLiteral("cannot read the password file ") + passwordFile + QStringLiteral(": ")
                + file.errorString();
    } else {
        qDebug().noquote() << "doWorkRead reading password file";
        const QByteArray contents = file.readAll();
        if (file.error() != QFileDevice::NoError)
            passwordsUnreadable = QStringLiteral("cannot read the password file ") + passwordFile + QStringLiteral(": ")
                + file.errorString();
        qDebug().noquote() << "doWorkRead read password file contents " + QString::number(contents.size()) + " bytes";
        lineCount = contents.count('\n');
        file.close();
        if (lineCount == 0)
            qDebug().noquote() << "doWorkRead password file empty " + passwordFile;
    }
    qDebug().noquote() << "doWorkRead done counting password file lines " + QString::number(lineCount);

    // Nothing from an earlier instrument may survive into this read's result.
    m_last = LastRead();
    m_serviceBackupRefusal.clear();
    m_last.port = comPort;
    m_last.bridgeSerial = bridgeSerialFor(comPort);

    ReadFacts facts;
    facts.demoPort = comPort.left(8) == QLatin1String(kDemoPortPrefix);
    QString failedHereWhy = passwordsUnreadable; // the first attempt that stopped on this computer, in the engine's words
    if (!passwordsUnreadable.isEmpty())
        lineCount = 0;
    const auto noteResult = [&](int result) {
        facts.lastResult = result;
        if (bsl::stoppedHere(result) && failedHereWhy.isEmpty())
            failedHereWhy = backEnd->message().trimmed();
    };
    // The first password that opens the instrument ends the search, whatever
    // the image then says.
    int index = lineCount - kLinesPerPasswordRecord;
    while (index >= 0) {
        const int result = backEnd->read_memory(comPort, passwordFile, index, imageFile, m_last.memoryImage);
        noteResult(result);
        qDebug().noquote() << "doWorkRead password attempt complete " + QString::number(result);
        if (result == bsl::kResultSuccess) {
            facts.opened = true;
            break;
        }
        // Some loaders erase the flash after a wrong password: once one has
        // opened it, no other is sent.
        if ((facts.failedAfterOpening = backEnd->loaderOpened()))
            break;
        index -= kLinesPerPasswordRecord;
    }
    if (!facts.opened && !facts.demoPort && passwordsUnreadable.isEmpty() && !facts.failedAfterOpening) {
        // An update interrupted after its erase leaves the instrument open to
        // the password of an erased one.
        const QString standard = standardPasswordFile();
        if (!standard.isEmpty()) {
            const int result = backEnd->read_memory(comPort, standard, 0, imageFile, m_last.memoryImage);
            noteResult(result);
            qDebug().noquote() << "doWorkRead standard password attempt complete " + QString::number(result);
            if (result == bsl::kResultSuccess) {
                facts.opened = facts.byStandardPassword = true;
                index = 0;
            }
            facts.failedAfterOpening = !facts.opened && backEnd->loaderOpened();
        }
    }
    facts.failedHere = !failedHereWhy.isEmpty();
    const QString backupPath = backupFilePath(m_last.bridgeSerial);
    if (facts.opened) {
        facts.image = infomemory::fromText(QByteArray(m_last.memoryImage));
        m_last.opened = true;
        m_last.image = facts.image;
        m_last.passwordFile = facts.byStandardPassword ? standardPasswordFile() : passwordFile;
        m_last.passwordIndex = index;
    }
    facts.backup = infomemory::loadBackup(backupPath);
    if (asksPort(facts))
        facts.port = portcheck::diagnose(comPort).state;

    const Identification id = identify(facts);
    m_last.id = id;
    if (id.restore == Restore::Image)
        m_last.restoreImage = facts.image;
    else if (id.restore == Restore::Backup)
        m_last.restoreImage = facts.backup.bytes;
    if (id.backUpImage) {
        QString error;
        if (backupPath.isEmpty())
            qDebug().noquote() << "No bridge serial number for " + comPort + ": information memory not backed up";
        else if (!infomemory::saveBackup(backupPath, facts.image, &error))
            qWarning().noquote() << "Cannot back up the information memory: " + error;
    }
    logFinding(id.finding, comPort, backupPath, failedHereWhy);
    completeInterruptedJobs(id);

    m_version = id.version;
    emit workerReadFound(id.finding);
    emit workerHandleVersionChanged(m_version);
    setStatus(id.status);
    m_readBusy = 0;
}

void Worker::refuse(const Refusal &refusal)
{
    m_job.refusal = {refusal.reason, QLatin1String(kRefusalPrefix) + refusal.why};
    qWarning().noquote() << m_job.refusal.why;
    workerMessageChanged(m_job.refusal.why);
}

Refusal Worker::takeSnapshot(BackEnd &backEnd)
{
    m_snapshot = JobSnapshot();
    const QString folder = jobFolder();
    if (folder.isEmpty())
        return {RefusalReason::JobFiles,
                QStringLiteral("cannot create a private folder for this job in ") + paths::temporaryFolder()};
    const QString filename = m_job.firmware;
    const auto firmwareFailed = [](const QString &why) {
        return Refusal{RefusalReason::FirmwareFile, QLatin1String(kFirmwareCheckFailed) + QStringLiteral(": ") + why};
    };
    QFile file(filename);
    if (filename.isEmpty() || !file.open(QIODevice::ReadOnly))
        return firmwareFailed(QStringLiteral("firmware file cannot be opened: ") + filename);
    const QByteArray bytes = file.read(kMaxFirmwareFile + 1);
    if (file.error() != QFileDevice::NoError)
        return firmwareFailed(QStringLiteral("firmware file cannot be read: ") + filename + QStringLiteral(": ")
                              + file.errorString());
    if (bytes.size() > kMaxFirmwareFile)
        return firmwareFailed(QStringLiteral("firmware file is too large: ") + filename);
    const bsl::FirmwareCheck firmware = bsl::checkFirmwareText(bytes);
    if (!firmware.ok)
        return firmwareFailed(firmware.reason);
    titxt::Image blocks;
    QString reason;
    titxt::parse(bytes, &blocks, &reason); // the check above parsed it already

    // Named as the original, so that the engine's lines name the same file.
    const QString copy = folder + QLatin1Char('/') + QFileInfo(filename).fileName();
    const QString passwords = folder + QStringLiteral("/restart-password.txt");
    if (!writePrivate(copy, bytes) || !writePrivate(passwords, firmwarePasswordRecord(blocks)))
        return {RefusalReason::JobFiles, QStringLiteral("cannot write the job's copy of the firmware in ") + folder};
    m_snapshot.firmware = copy;
    m_snapshot.firmwareSha256 =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    m_snapshot.restartPasswords = passwords;

    // The patch as it is now; a missing or unreadable one is left for the
    // checks before the erase to name.
    QByteArray patch;
    const QString patchCopy = folder + QStringLiteral("/PATCH.TXT");
    QFile::remove(patchCopy);
    if (safefile::readRegularFile(patchFilePath(), kMaxPatchFile, &patch) && writePrivate(patchCopy, patch))
        backEnd.setPatchFile(patchCopy);
    return {};
}

Refusal Worker::refusalBeforeErase(BackEnd &backEnd, const QString &comPort)
{
    if (const Refusal snapshot = takeSnapshot(backEnd))
        return snapshot;

    if (!infomemory::hasMarker(m_last.restoreImage))
        return {RefusalReason::MemoryImage, QStringLiteral("memory image check failed: no complete image of "
                                                           "0x1000-0x10FF with the NVX7300 marker")};

    if (const Refusal otherInstrument = sameInstrumentRefusal(backEnd, comPort))
        return otherInstrument;
    return backupRefusal(comPort);
}

Refusal Worker::sameInstrumentRefusal(BackEnd &backEnd, const QString &comPort)
{
    const QString serialNow = bridgeSerialFor(comPort);
    if (!serialNow.isEmpty() && !m_last.bridgeSerial.isEmpty() && serialNow != m_last.bridgeSerial)
        return {RefusalReason::OtherInstrument, QStringLiteral("same instrument check failed: the bridge on ") + comPort
                                                    + QStringLiteral(" is ") + serialNow
                                                    + QStringLiteral(", the one read was ") + m_last.bridgeSerial};
    if (!m_last.opened)
        return {};

    // Read again with the password that opened it: the erase must hit the
    // instrument that was read, not one plugged in since.
    QByteArray again;
    int result = backEnd.readInfoMemory(comPort, m_last.passwordFile, m_last.passwordIndex, &again);
    // This read runs at the job's rate, so a line that does not carry it
    // shows here, before anything is erased: the job goes on at the start
    // rate, asking once more. A loader that refuses the rate keeps the job
    // at the start rate as well.
    if (backEnd.baudRate() != kDefaultBaudRate) {
        if (result != bsl::kResultSuccess) {
            const QString line = QStringLiteral("The read at %1 baud failed (result %2); the update goes on at %3 baud")
                                     .arg(backEnd.baudRate())
                                     .arg(result)
                                     .arg(kDefaultBaudRate);
            qWarning().noquote() << line;
            workerMessageChanged(line);
            backEnd.setBaudRate(kDefaultBaudRate);
            result = backEnd.readInfoMemory(comPort, m_last.passwordFile, m_last.passwordIndex, &again);
        } else if (backEnd.lineRate() != backEnd.baudRate()) {
            qDebug().noquote() << "The loader keeps " + QString::number(backEnd.lineRate()) + " baud";
            backEnd.setBaudRate(kDefaultBaudRate);
        }
    }
    if (result == bsl::kResultHelpOrPort)
        portcheck::diagnose(comPort); // the log file learns why
    if (result != bsl::kResultSuccess)
        return {RefusalReason::SameInstrumentUnreadable,
                QStringLiteral("same instrument check failed: information memory cannot be read again (result ")
                    + QString::number(result) + QLatin1Char(')')};
    if (again != m_last.image)
        return {RefusalReason::OtherInstrument,
                QStringLiteral("same instrument check failed: information memory differs from the one read")};
    return loaderRefusal(backEnd);
}

Refusal Worker::backupRefusal(const QString &comPort)
{
    // After the erase only the backup can bring the information memory back,
    // and the next read finds it by the bridge's serial number alone.
    const QString serial = bridgeSerialFor(comPort);
    if (serial.isEmpty())
        return {RefusalReason::Backup,
                QStringLiteral("backup check failed: no USB bridge serial number is known for ") + comPort
                    + QStringLiteral(", so a backup of the information memory could not be found again after an "
                                     "interruption; connect the NVX7300 through its own USB cable, not a plain serial "
                                     "port or an adapter without a serial number")};
    QString error;
    if (!infomemory::saveBackup(backupFilePath(serial), m_last.restoreImage, &error))
        return {RefusalReason::Backup, QStringLiteral("backup check failed: ") + error
                                           + QStringLiteral("; free some disk space or make the folder writable, "
                                                            "then update again")};
    return {};
}

bool Worker::beginErasing(const QString &comPort)
{
    if (!jobguard::enter()) {
        refuse({RefusalReason::Stopping, QStringLiteral("the program is stopping; nothing was erased")});
        return false;
    }
    m_job.uninterruptible = true;
    emit workerUninterruptibleChanged(true);

    // The record knows of the job before anything is erased, so that even a
    // run killed from here on leaves its trace.
    UpdateRecord record = jobRecord(comPort);
    record.stage = UpdateRecord::Stage::Started;
    record.result = m_job.kind == JobKind::Erase ? QStringLiteral("Erase started") : QStringLiteral("Update started");
    QString error;
    const QString path = updaterecord::filePath();
    if (!updaterecord::append(path, record, &error))
        qWarning().noquote() << "The start of the update was not recorded in " + path + ": " + error;
    m_job.started = true;
    return true;
}

int Worker::update(BackEnd &backEnd, const QString &comPort)
{
    if (const Refusal refusal = refusalBeforeErase(backEnd, comPort)) {
        refuse(refusal);
        return kStatusRefused;
    }

    // The saved image stays as read, so a retry compares against the instrument as it is.
    const QByteArray text = infomemory::toRestoreText(m_last.restoreImage);
    char restore[kMemoryImageSize] = {};
    std::memcpy(restore, text.constData(), std::min<size_t>(size_t(text.size()), sizeof restore - 1));
    if (m_last.id.finding != Finding::Identified)
        qDebug().noquote() << "Recovery: information memory restored as kept";

    if (!beginErasing(comPort))
        return kStatusRefused;
    announceProgressTotal(restore, m_snapshot.firmware, backEnd.loaderVersion(), backEnd.patchFile());
    const int result = program(backEnd, comPort, restore, m_snapshot.firmware);
    m_job.programmedAt = backEnd.lineRate();
    m_job.backupWritten = m_last.id.restore == Restore::Backup && result == bsl::kResultSuccess;
    if (result != bsl::kResultSuccess) {
        qDebug().noquote() << "Reprogramming failed";
        return result;
    }
    return restartAfterUpdate(backEnd, comPort);
}

// The programming run of an update. When it fails after its erase at a
// faster rate, or its read-back finds the flash not as written, it runs once
// more at the start rate, from the erase on: the same information memory
// (what the backup holds) and firmware.
int Worker::program(BackEnd &backEnd, const QString &comPort, char *restore, const QString &filename)
{
    backEnd.setReadBack(m_verifyUpdates);
    const int ticks = m_job.progressTicks;
    // The password that opened it for the read: the run may unlock before its erase.
    int result = backEnd.load_bootstrap(comPort, m_last.passwordFile, m_last.passwordIndex, restore, filename);
    const bool erased = m_job.progressTicks > ticks;
    if (result != bsl::kResultSuccess && erased && (backEnd.baudRate() != kDefaultBaudRate || m_verifyUpdates)) {
        const QString line = QStringLiteral("Programming at %1 baud failed (result %2); the update is programmed "
                                            "again from the backup at %3 baud")
                                 .arg(backEnd.lineRate())
                                 .arg(result)
                                 .arg(kDefaultBaudRate);
        qWarning().noquote() << line;
        workerMessageChanged(line);
        backEnd.setBaudRate(kDefaultBaudRate);
        announceProgressTotal(restore, filename, backEnd.loaderVersion(), backEnd.patchFile(), m_job.progressTicks);
        result = backEnd.load_bootstrap(comPort, m_last.passwordFile, m_last.passwordIndex, restore, filename);
    }
    m_job.verified = result == bsl::kResultSuccess && backEnd.readBack();
    return result;
}

int Worker::restartAfterUpdate(BackEnd &backEnd, const QString &comPort)
{
    // The firmware just programmed brought its own interrupt vectors, and so
    // the password that opens the loader now, taken from the job's copy
    // before the erase. A wrong one is never tried: some loaders erase the
    // flash after it.
    const QString passwords = m_snapshot.restartPasswords;
    // A restart carries no data: nothing to gain from a faster line.
    backEnd.setBaudRate(kDefaultBaudRate);
    const int restart = backEnd.restart(comPort, passwords, 0);
    if (restart == bsl::kResultSuccess)
        return kStatusSuccess;

    // Only the restart failed when what the update wrote is in place: the new
    // password opens the instrument and its information memory is the one restored.
    qDebug().noquote() << "Restart after the update failed " + QString::number(restart);
    QByteArray check;
    const int read = backEnd.readInfoMemory(comPort, passwords, 0, &check);
    if (read == bsl::kResultSuccess
        && infomemory::withErasedVersion(check) == infomemory::withErasedVersion(m_last.restoreImage)) {
        qDebug().noquote() << "Firmware and information memory verified in place";
        return kStatusUpdatedNotRestarted;
    }
    return restart;
}

void Worker::announceProgressTotal(const char *restoreText, const QString &firmware, int loaderVersion,
                                   const QString &patchFile, int done)
{
    // The runs take the engine's defaults for both (the back end sets neither).
    const int frame = bsl::kDefaultMaxFrameData;
    int ticks = bsl::kDefaultMassEraseCycles
        + std::max(0, bsl::countTITextBlocks(QFile::encodeName(firmware).constData(), restoreText, frame));
    if (needsPatch(loaderVersion))
        ticks += std::max(0, bsl::countTITextBlocks(QFile::encodeName(patchFile).constData(), nullptr, frame));
    emit workerProgressTotal(done + ticks);
}

int Worker::erase(BackEnd &backEnd, const QString &comPort)
{
    if (const Refusal snapshot = takeSnapshot(backEnd)) {
        refuse(snapshot);
        return kStatusRefused;
    }
    // The erase takes the information memory with it. It goes ahead once that
    // is backed up, or once a read has shown there is no NVX7300's to keep.
    if (m_last.port != comPort || m_last.id.erase == EraseRule::Refused) {
        refuse({RefusalReason::NotRead,
                QStringLiteral("no read has reached the instrument on ") + comPort
                    + QStringLiteral("; read it first, so that its information memory can be backed up")});
        return kStatusRefused;
    }
    Refusal refusal = sameInstrumentRefusal(backEnd, comPort);
    if (!refusal && m_last.id.erase == EraseRule::AfterBackup)
        refusal = backupRefusal(comPort);
    else if (!refusal)
        qDebug().noquote() << "Mass erase of an instrument without NVX7300 information memory: nothing to back up";
    if (refusal) {
        refuse(refusal);
        return kStatusRefused;
    }
    if (!beginErasing(comPort))
        return kStatusRefused;
    announceProgressTotal(nullptr, m_snapshot.firmware, backEnd.loaderVersion(), backEnd.patchFile());
    // The back end's own form of an erase run.
    const int result = backEnd.load_bootstrap(comPort, QString(), 0, m_last.memoryImage,
                                              QLatin1String(kEraseForm) + m_snapshot.firmware);
    m_job.programmedAt = backEnd.lineRate();
    return result;
}

void Worker::doWork(const QString &comPort, const QString &filename)
{
    const JobForm job = JobForm::parse(filename);
    doJob(comPort, job.kind, job.firmware, kDefaultBaudRate);
}

void Worker::doJob(const QString &comPort, JobKind kind, const QString &firmware, int baud)
{
    QElapsedTimer clock;
    clock.start();
    m_job = JobReport();
    m_snapshot = JobSnapshot();
    m_job.kind = kind;
    m_job.firmware = firmware;
    m_job.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_job.versionBefore = m_version;
    const std::unique_ptr<BackEnd> backEnd = newJobBackEnd(this, &m_job.progressTicks);
    backEnd->setBaudRate(baud);
    m_readJob = 0;

    JobEnd end;
    end.kind = kind;
    end.status = kStatusRefused;
    if (kind == JobKind::Erase) {
        end.status = erase(*backEnd, comPort);
    } else if (m_last.id.mayUpdate) {
        end.status = update(*backEnd, comPort);
    } else if (m_last.id.finding == Finding::Demo && comPort == m_last.port) {
        // A demo instrument has no port behind it: the engine's answer is
        // that the port cannot be opened (status 1). Asked with a read, so
        // that nothing could be erased should such a port exist after all.
        QByteArray scratch;
        int result = backEnd->readInfoMemory(comPort, passwordFilePath(), 0, &scratch);
        if (result == bsl::kResultSuccess)
            result = kStatusRefused;
        setStatus(result);
        return; // no instrument, so nothing to record
    } else if (!m_serviceBackupRefusal.isEmpty() && comPort == m_last.port) {
        refuse({RefusalReason::ServiceBackup, m_serviceBackupRefusal});
    } else {
        qDebug().noquote() << "Memory read failed";
        refuse({RefusalReason::NotIdentified, QStringLiteral("no read has identified the instrument on ") + comPort
                                                  + QStringLiteral("; let its version be read first")});
    }
    const bool completed = end.status == kStatusSuccess || end.status == kStatusUpdatedNotRestarted;
    // Stopped once the erase had begun: the instrument holds what it holds
    // until the next update restores it.
    end.leftErased = !completed && m_job.progressTicks > 0;
    if (end.status == kStatusRefused)
        end.refusal = m_job.refusal.reason;
    recordJob(comPort, end, double(clock.elapsed()) / 1000.0);
    if (m_job.uninterruptible) {
        jobguard::leave();
        emit workerUninterruptibleChanged(false);
    }
    emit workerJobEnded(end);
    setStatus(end.status);
}

void Worker::doWorkVerify(const QString &comPort, const QString &filename, int baud)
{
    const std::unique_ptr<BackEnd> backEnd = newReadBackEnd(this);
    backEnd->setBaudRate(baud);
    int result = kStatusRefused;
    // The password the read found, and no other: a wrong one may erase.
    if (m_last.opened && m_last.port == comPort)
        result = backEnd->verify_memory(comPort, m_last.passwordFile, m_last.passwordIndex, filename);
    else
        workerMessageChanged(QStringLiteral("Verify refused: no read has opened the instrument on ") + comPort);
    const std::optional<uint32_t> at = backEnd->firstDifference();
    emit workerVerified(result, at ? qint64(*at) : -1);
}

UpdateRecord Worker::jobRecord(const QString &comPort) const
{
    const QString &firmware = m_job.firmware;
    UpdateRecord record;
    record.time = QDateTime::currentDateTimeUtc();
    record.serialNumber = bridgeSerialFor(comPort);
    record.port = comPort;
    record.versionBefore = m_job.versionBefore;
    record.firmwareFile = QFileInfo(firmware).fileName();
    // What was programmed is the job's copy, once it has one.
    record.firmwareSha256 = m_snapshot.firmware.isEmpty() ? sha256Of(firmware) : m_snapshot.firmwareSha256;
    record.job = m_job.id;
    record.baud = m_job.programmedAt;
    return record;
}

void Worker::recordJob(const QString &comPort, const JobEnd &end, double seconds)
{
    UpdateRecord record = jobRecord(comPort);
    // Installed: the firmware's own version; an erase leaves no version until
    // the next update restores the information memory. Stopped before the
    // erase (no erase cycle was sent): the instrument is as it was.
    // Otherwise it is left erased or part-way written, and only the next read
    // can tell.
    const bool completed = end.status == kStatusSuccess || end.status == kStatusUpdatedNotRestarted;
    if (completed && end.kind == JobKind::Update)
        record.versionAfter = firmwareVersion(m_job.firmware);
    else if (!completed && m_job.progressTicks == 0)
        record.versionAfter = m_job.versionBefore;
    record.result = end.status == kStatusRefused && m_job.refusal ? m_job.refusal.why : endText(end);
    record.status = end.status;
    record.seconds = seconds;
    record.backupRestored = m_job.backupWritten;
    // A job refused before its erase wrote no started line: its one line is its end.
    if (!m_job.started)
        record.job.clear();
    record.verified = m_job.verified;

    QString error;
    const QString path = updaterecord::filePath();
    if (!updaterecord::append(path, record, &error))
        qWarning().noquote() << "The update record " + path + ": " + error;
    emit workerUpdateRecorded(record.toJson(), error);
}

void Worker::useServiceBackup(const QByteArray &image)
{
    m_serviceBackupRefusal.clear();
    QString why;
    if (!infomemory::hasMarker(image))
        why = QStringLiteral("the service backup is not a complete information memory with the NVX7300 marker");
    else if (!m_last.opened || infomemory::hasMarker(m_last.image))
        why = QStringLiteral("the service backup is only for an instrument that has lost its information memory");
    else if (!infomemory::fitsBackup(m_last.image, image))
        why = QStringLiteral("the service backup does not fit what the instrument still holds");
    if (!why.isEmpty()) {
        qWarning().noquote() << "Service backup not taken: " + why;
        m_serviceBackupRefusal = QStringLiteral("service backup check failed: ") + why;
        m_last.id.mayUpdate = false;
        return;
    }
    qWarning().noquote() << "The information memory of the next update comes from a service backup";
    m_last.restoreImage = image;
    m_last.id.restore = Restore::Backup;
    m_last.id.mayUpdate = true;
    m_last.id.erase = EraseRule::AfterBackup;
}

void Worker::completeInterruptedJobs(const Identification &id)
{
    if (m_last.bridgeSerial.isEmpty() || !m_last.opened)
        return;
    const QString path = updaterecord::filePath();
    const QList<UpdateRecord> open = updaterecord::unfinished(path, m_last.bridgeSerial);
    if (open.isEmpty())
        return;
    QString found;
    switch (id.finding) {
    case Finding::Identified:
        found = QStringLiteral("running version ") + id.version;
        break;
    case Finding::RecoveryFromBackup:
    case Finding::RecoveryFromOlderBackup:
    case Finding::RecoveryFromOwnImage:
        found = QStringLiteral("left erased, must be updated again");
        break;
    case Finding::BackupDamaged:
        found = QStringLiteral("left erased, and its backup is damaged");
        break;
    default:
        found = QStringLiteral("not identified");
        break;
    }
    for (UpdateRecord record : open) {
        record.time = QDateTime::currentDateTimeUtc();
        record.port = m_last.port;
        record.stage = UpdateRecord::Stage::Interrupted;
        record.versionAfter = id.finding == Finding::Identified ? id.version : QString();
        record.result = QStringLiteral("Interrupted; the next read found it ") + found;
        record.status = -1;
        QString error;
        if (!updaterecord::append(path, record, &error))
            qWarning().noquote() << "The update record " + path + ": " + error;
    }
}
