#include "worker.h"

#include "backend.h"
#include "cataloguetrust.h"
#include "engineresult.h"
#include "firmwarecheck.h"
#include "firmwarestore.h"
#include "infomemory.h"
#include "portcheck.h"
#include "titext.h"
#include "titxtimage.h"
#include "updaterecord.h"
#include "versionnumber.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace workflow;

namespace {

constexpr int kLinesPerPasswordRecord = 4;
constexpr qint64 kMaxHashedFile = 16 * 1024 * 1024; // far above any firmware file the checks let through

// The password of an erased instrument: its interrupt vectors, all erased.
const char kStandardPasswordRecord[] = "@FFE0\n"
                                       "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\n"
                                       "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\n"
                                       "q\n";
constexpr uint32_t kVectorTable = 0xFFE0; // the instrument's password
constexpr int kVectorTableSize = 32;

const char kDemoPortPrefix[] = "demoport";
const char kErasePrefix[] = "Erase";

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

// Loaders up to 1.10 program flash only with the patch; without it a run
// would stop after the erase. Empty when nothing is missing.
QString patchRefusal(int loaderVersion)
{
    constexpr int kLastLoaderNeedingPatch = 0x0110;
    const QString path = Worker::patchFilePath();
    if (loaderVersion == 0 || loaderVersion > kLastLoaderNeedingPatch
        || bsl::checkTIText(QFile::encodeName(path).constData(), nullptr) == 0)
        return QString();
    return QStringLiteral("the loader of this instrument (version %1) needs the flash patch file %2, which %3")
        .arg(QString::asprintf("%X.%02X", loaderVersion >> 8, loaderVersion & 0xFF), path,
             QFileInfo::exists(path) ? QStringLiteral("cannot be read") : QStringLiteral("is not installed"));
}

// The loader as the read before the erase found it holds for the job's runs
// after the erase: a glitch on their own read of it cannot make them guess
// (a rate, or flash programming without the patch). Without it nothing is
// erased. Empty when nothing is missing.
QString loaderRefusal(BackEnd &backEnd)
{
    const std::optional<bsl::LoaderIdentity> loader = backEnd.loaderIdentity();
    if (!loader)
        return QStringLiteral("loader check failed: the version of the instrument's bootstrap loader could not be "
                              "read; try again");
    backEnd.setKnownLoader(loader);
    return patchRefusal(loader->versionWord());
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
        file = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/nvx7300-password-XXXXXX.txt"));
        if (!file->open()) {
            file.reset();
            return false;
        }
    }
    file->resize(0);
    file->seek(0);
    return file->write(contents) == contents.size() && file->flush();
}

// A password record holding the vector table that a firmware file programs,
// unset bytes erased: what opens the instrument once the file is in.
QByteArray firmwarePasswordRecord(const QString &firmwarePath)
{
    QFile file(firmwarePath);
    titxt::Image blocks;
    QString reason;
    QByteArray vectors(kVectorTableSize, char(0xFF));
    if (file.open(QIODevice::ReadOnly) && titxt::parse(file.readAll(), &blocks, &reason)) {
        for (const titxt::Block &block : blocks) {
            for (int i = 0; i < block.bytes.size(); ++i) {
                const uint32_t address = block.address + uint32_t(i);
                if (address >= kVectorTable && address < kVectorTable + kVectorTableSize)
                    vectors[int(address - kVectorTable)] = block.bytes[i];
            }
        }
    }
    return titxt::format({{kVectorTable, vectors}});
}

// Lines without their ends or trailing blanks, for comparing password records.
QList<QByteArray> plainLines(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines)
        line = line.trimmed();
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The line index of the record in the password file, or -1.
int recordIndex(const QString &passwordFile, const QByteArray &record)
{
    QFile file(passwordFile);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = plainLines(file.read(1024 * 1024));
    const QList<QByteArray> wanted = plainLines(record);
    for (int i = 0; i + wanted.size() <= lines.size(); ++i) {
        if (lines.mid(i, wanted.size()) == wanted)
            return i;
    }
    return -1;
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
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
        + QStringLiteral("/firmware/731-0-00-2019-01-01-1200.txt");
}

QString Worker::patchFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/firmware/PATCH.TXT");
}

QString Worker::memoryImageFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
        + QStringLiteral("/firmware/731-0-01-2019-01-01-1200.txt");
}

QString Worker::backupFilePath(const QString &bridgeSerialNumber)
{
    const QString name = FirmwareStore::backupName(bridgeSerialNumber);
    if (name.isEmpty())
        return QString();
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/firmware/") + name;
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

// The reads inside an update go to a folder of this worker's own: other
// processes (update --all runs one per instrument) read their instruments
// into the shared memory image file at the same time.
QString Worker::jobImageFilePath()
{
    if (!m_jobImageFolder) {
        auto folder = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/nvx7300-job-XXXXXX"));
        if (!folder->isValid())
            return memoryImageFilePath();
        m_jobImageFolder = std::move(folder);
    }
    return m_jobImageFolder->filePath(QStringLiteral("image.txt"));
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
    QFile file(passwordFile);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << "doWorkRead cannot open password file " + passwordFile;
    } else {
        qDebug().noquote() << "doWorkRead reading password file";
        const QByteArray contents = file.readAll();
        qDebug().noquote() << "doWorkRead read password file contents " + QString::number(contents.size()) + " bytes";
        lineCount = contents.count('\n');
        file.close();
        if (lineCount == 0)
            qDebug().noquote() << "doWorkRead password file empty " + passwordFile;
    }
    qDebug().noquote() << "doWorkRead done counting password file lines " + QString::number(lineCount);

    // Nothing from an earlier instrument may survive into this read's result.
    m_last = LastRead();
    m_last.port = comPort;
    m_last.bridgeSerial = bridgeSerialFor(comPort);

    ReadFacts facts;
    facts.demoPort = comPort.left(8) == QLatin1String(kDemoPortPrefix);
    QString failedHereWhy; // the first attempt that stopped on this computer, in the engine's words
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
    if (!facts.opened && !facts.demoPort && !facts.failedAfterOpening) {
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

    m_version = id.version;
    emit workerHandleVersionChanged(m_version);
    setStatus(id.status);
    m_readBusy = 0;
}

void Worker::refuse(const QString &why)
{
    const QString line = QLatin1String(kRefusalPrefix) + why;
    m_job.refusal = line;
    qWarning().noquote() << line;
    workerMessageChanged(line);
}

QString Worker::refusalBeforeErase(BackEnd &backEnd, const QString &comPort, const QString &filename)
{
    const bsl::FirmwareCheck firmware = bsl::checkFirmwareFile(filename);
    if (!firmware.ok)
        return QLatin1String(kFirmwareCheckFailed) + QStringLiteral(": ") + firmware.reason;

    if (!infomemory::hasMarker(m_last.restoreImage))
        return QStringLiteral("memory image check failed: no complete image of 0x1000-0x10FF with the NVX7300 marker");

    const QString otherInstrument = sameInstrumentRefusal(backEnd, comPort);
    if (!otherInstrument.isEmpty())
        return otherInstrument;
    return backupRefusal(comPort);
}

QString Worker::sameInstrumentRefusal(BackEnd &backEnd, const QString &comPort)
{
    const QString serialNow = bridgeSerialFor(comPort);
    if (!serialNow.isEmpty() && !m_last.bridgeSerial.isEmpty() && serialNow != m_last.bridgeSerial)
        return QStringLiteral("same instrument check failed: the bridge on ") + comPort + QStringLiteral(" is ")
            + serialNow + QStringLiteral(", the one read was ") + m_last.bridgeSerial;
    if (!m_last.opened)
        return QString();

    // Read again with the password that opened it: the erase must hit the
    // instrument that was read, not one plugged in since.
    char again[kMemoryImageSize] = {};
    int result = backEnd.read_memory(comPort, m_last.passwordFile, m_last.passwordIndex, jobImageFilePath(), again);
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
            result = backEnd.read_memory(comPort, m_last.passwordFile, m_last.passwordIndex, jobImageFilePath(), again);
        } else if (backEnd.lineRate() != backEnd.baudRate()) {
            qDebug().noquote() << "The loader keeps " + QString::number(backEnd.lineRate()) + " baud";
            backEnd.setBaudRate(kDefaultBaudRate);
        }
    }
    if (result == bsl::kResultHelpOrPort)
        portcheck::diagnose(comPort); // the log file learns why
    if (result != bsl::kResultSuccess)
        return QStringLiteral("same instrument check failed: information memory cannot be read again (result ")
            + QString::number(result) + QLatin1Char(')');
    if (infomemory::fromText(QByteArray(again)) != m_last.image)
        return QStringLiteral("same instrument check failed: information memory differs from the one read");
    return loaderRefusal(backEnd);
}

QString Worker::backupRefusal(const QString &comPort)
{
    // After the erase only the backup can bring the information memory back,
    // and the next read finds it by the bridge's serial number alone.
    const QString serial = bridgeSerialFor(comPort);
    if (serial.isEmpty())
        return QStringLiteral("backup check failed: no USB bridge serial number is known for ") + comPort
            + QStringLiteral(", so a backup of the information memory could not be found again after an interruption; "
                             "connect the NVX7300 through its own USB cable, not a plain serial port or an adapter "
                             "without a serial number");
    QString error;
    if (!infomemory::saveBackup(backupFilePath(serial), m_last.restoreImage, &error))
        return QStringLiteral("backup check failed: ") + error
            + QStringLiteral("; free some disk space or make the folder writable, then update again");
    return QString();
}

int Worker::update(BackEnd &backEnd, const QString &comPort, const QString &filename)
{
    const QString refusal = refusalBeforeErase(backEnd, comPort, filename);
    if (!refusal.isEmpty()) {
        refuse(refusal);
        return kStatusRefused;
    }

    // The saved image stays as read, so a retry compares against the instrument as it is.
    const QByteArray text = infomemory::toRestoreText(m_last.restoreImage);
    char restore[kMemoryImageSize] = {};
    std::memcpy(restore, text.constData(), std::min<size_t>(size_t(text.size()), sizeof restore - 1));
    if (m_last.id.finding != Finding::Identified)
        qDebug().noquote() << "Recovery: information memory restored as kept";

    const int result = program(backEnd, comPort, restore, filename);
    m_job.programmedAt = backEnd.lineRate();
    m_job.backupWritten = m_last.id.restore == Restore::Backup && result == bsl::kResultSuccess;
    if (result != bsl::kResultSuccess) {
        qDebug().noquote() << "Reprogramming failed";
        return result;
    }
    return restartAfterUpdate(backEnd, comPort, filename);
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
        result = backEnd.load_bootstrap(comPort, m_last.passwordFile, m_last.passwordIndex, restore, filename);
    }
    m_job.verified = result == bsl::kResultSuccess && backEnd.readBack();
    return result;
}

int Worker::restartAfterUpdate(BackEnd &backEnd, const QString &comPort, const QString &filename)
{
    // The firmware just programmed brought its own interrupt vectors, and so
    // the password that opens the loader now. A wrong one is never tried:
    // some loaders erase the flash after it.
    const QByteArray record = firmwarePasswordRecord(filename);
    QString passwords = passwordFilePath();
    int index = 0;
    if (writeTemporary(m_firmwarePassword, record)) {
        passwords = m_firmwarePassword->fileName();
    } else if ((index = recordIndex(passwords, record)) < 0) {
        qWarning().noquote() << "No password of the new firmware to restart with; it started after programming";
        return kStatusSuccess;
    }
    // A restart carries no data: nothing to gain from a faster line.
    backEnd.setBaudRate(kDefaultBaudRate);
    const int restart = backEnd.restart(comPort, passwords, index);
    if (restart == bsl::kResultSuccess)
        return kStatusSuccess;

    // Only the restart failed when what the update wrote is in place: the new
    // password opens the instrument and its information memory is the one restored.
    qDebug().noquote() << "Restart after the update failed " + QString::number(restart);
    char check[kMemoryImageSize] = {};
    const int read = backEnd.read_memory(comPort, passwords, index, jobImageFilePath(), check);
    if (read == bsl::kResultSuccess
        && infomemory::withErasedVersion(infomemory::fromText(QByteArray(check)))
            == infomemory::withErasedVersion(m_last.restoreImage)) {
        qDebug().noquote() << "Firmware and information memory verified in place";
        return kStatusUpdatedNotRestarted;
    }
    return restart;
}

int Worker::erase(BackEnd &backEnd, const QString &comPort, const QString &filename)
{
    const bsl::FirmwareCheck firmware = bsl::checkFirmwareFile(filename.mid(int(sizeof kErasePrefix) - 1));
    if (!firmware.ok) {
        refuse(QLatin1String(kFirmwareCheckFailed) + QStringLiteral(": ") + firmware.reason);
        return kStatusRefused;
    }
    // The erase takes the information memory with it. It goes ahead once that
    // is backed up, or once a read has shown there is no NVX7300's to keep.
    if (m_last.port != comPort || m_last.id.erase == EraseRule::Refused) {
        refuse(QStringLiteral("no read has reached the instrument on ") + comPort
               + QStringLiteral("; read it first, so that its information memory can be backed up"));
        return kStatusRefused;
    }
    QString refusal = sameInstrumentRefusal(backEnd, comPort);
    if (refusal.isEmpty() && m_last.id.erase == EraseRule::AfterBackup)
        refusal = backupRefusal(comPort);
    else if (refusal.isEmpty())
        qDebug().noquote() << "Mass erase of an instrument without NVX7300 information memory: nothing to back up";
    if (!refusal.isEmpty()) {
        refuse(refusal);
        return kStatusRefused;
    }
    const int result = backEnd.load_bootstrap(comPort, QString(), 0, m_last.memoryImage, filename);
    m_job.programmedAt = backEnd.lineRate();
    return result;
}

void Worker::doWork(const QString &comPort, const QString &filename)
{
    doWorkAtRate(comPort, filename, kDefaultBaudRate);
}

void Worker::doWorkAtRate(const QString &comPort, const QString &filename, int baud)
{
    QElapsedTimer clock;
    clock.start();
    m_job = JobReport();
    m_job.versionBefore = m_version;
    const std::unique_ptr<BackEnd> backEnd = newJobBackEnd(this, &m_job.progressTicks);
    backEnd->setBaudRate(baud);
    m_readJob = 0;

    int result = kStatusRefused;
    if (filename.left(5) == QLatin1String(kErasePrefix)) {
        result = erase(*backEnd, comPort, filename);
    } else if (m_last.id.mayUpdate) {
        result = update(*backEnd, comPort, filename);
    } else if (m_last.id.finding == Finding::Demo && comPort == m_last.port) {
        // A demo instrument has no port behind it: the engine's answer is
        // that the port cannot be opened (status 1). Asked with a read, so
        // that nothing could be erased should such a port exist after all.
        char scratch[kMemoryImageSize] = {};
        result = backEnd->read_memory(comPort, passwordFilePath(), 0, memoryImageFilePath(), scratch);
        if (result == bsl::kResultSuccess)
            result = kStatusRefused;
        setStatus(result);
        return; // no instrument, so nothing to record
    } else {
        qDebug().noquote() << "Memory read failed";
        refuse(QStringLiteral("no read has identified the instrument on ") + comPort
               + QStringLiteral("; let its version be read first"));
    }
    recordJob(comPort, filename, result, double(clock.elapsed()) / 1000.0);
    setStatus(result);
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

void Worker::recordJob(const QString &comPort, const QString &filename, int status, double seconds)
{
    const bool eraseJob = filename.left(5) == QLatin1String(kErasePrefix);
    const QString firmware = eraseJob ? filename.mid(int(sizeof kErasePrefix) - 1) : filename;
    UpdateRecord record;
    record.time = QDateTime::currentDateTimeUtc();
    record.serialNumber = bridgeSerialFor(comPort);
    record.port = comPort;
    record.versionBefore = m_job.versionBefore;
    // Installed: the firmware's own version. Stopped before the erase (no
    // erase cycle was sent): the instrument is as it was. Otherwise it is
    // left erased or part-way written, and only the next read can tell.
    if (status == kStatusSuccess || status == kStatusUpdatedNotRestarted)
        record.versionAfter = firmwareVersion(firmware);
    else if (m_job.progressTicks == 0)
        record.versionAfter = m_job.versionBefore;
    record.firmwareFile = QFileInfo(firmware).fileName();
    record.firmwareSha256 = sha256Of(firmware);
    record.result = status == kStatusRefused && !m_job.refusal.isEmpty() ? m_job.refusal : endText(status, eraseJob);
    record.status = status;
    record.seconds = seconds;
    record.backupRestored = m_job.backupWritten;
    record.baud = m_job.programmedAt;
    record.verified = m_job.verified;

    QString error;
    const QString path = updaterecord::filePath();
    if (!updaterecord::append(path, record, &error))
        qWarning().noquote() << "The update was not recorded in " + path + ": " + error;
    emit workerUpdateRecorded(record.toJson(), error);
}
