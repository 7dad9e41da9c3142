#include "worker.h"

#include "backend.h"

#include <QDebug>
#include <QFile>
#include <QStandardPaths>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kLinesPerPasswordRecord = 4;
constexpr int kReadSuccess = 100;
constexpr int kStatusReadDone = 200;    // stored, never signalled
constexpr int kStatusNotIdentified = 255; // stored, never signalled
constexpr int kStatusRefused = 0;

// Character positions in the TI-TXT image of 0x1000-0x10FF (an address line
// of 6 characters, then 48 characters per line of 16 bytes).
constexpr int kMarkerPos = 390;  // 0x1080
constexpr int kMajorPos = 438;   // 0x1090
constexpr int kMinorPos = 441;   // 0x1091
constexpr int kMinImageLength = kMinorPos + 2; // both version characters present

const char kDemoPortPrefix[] = "demoport";
const char kErasePrefix[] = "Erase";

std::unique_ptr<BackEnd> newBackEnd(Worker *worker)
{
    auto backEnd = std::make_unique<BackEnd>();
    QObject::connect(backEnd.get(), &BackEnd::statusChanged, worker, &Worker::workerStatusChanged);
    QObject::connect(backEnd.get(), &BackEnd::messageChanged, worker, &Worker::workerMessageChanged);
    return backEnd;
}

int hexPair(const char *image, int pos)
{
    const char digits[3] = {image[pos], image[pos + 1], '\0'};
    return static_cast<int>(std::strtol(digits, nullptr, 16));
}

} // namespace

Worker::Worker(QObject *parent)
    : QObject(parent)
{
}

QString Worker::passwordFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
        + QStringLiteral("/firmware/731-0-00-2019-01-01-1200.txt");
}

QString Worker::memoryImageFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
        + QStringLiteral("/firmware/731-0-01-2019-01-01-1200.txt");
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

QString Worker::getversion() const
{
    return QString::number(m_last.major) + QLatin1Char('.') + QString::number(m_last.minor);
}

void Worker::doWorkRead(const QString &comPort)
{
    qDebug().noquote() << "doWorkRead";
    const std::unique_ptr<BackEnd> backEnd = newBackEnd(this);
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
    m_last.imageFromThisInstrument = false;
    m_last.memoryImage[0] = '\0';

    bool identified = false;
    int index = lineCount - kLinesPerPasswordRecord;
    while (index >= 0) {
        const int result = backEnd->read_memory(comPort, passwordFile, index, imageFile, m_last.memoryImage);
        qDebug().noquote() << "doWorkRead password attempt complete " + QString::number(result);
        if (result == kReadSuccess) {
            // The first password that opens the instrument ends the search,
            // whatever the image then says.
            const bool complete = std::strlen(m_last.memoryImage) >= static_cast<size_t>(kMinImageLength);
            if (!complete) {
                qDebug().noquote() << "Memory image too short to identify the instrument";
            } else if (m_last.memoryImage[kMarkerPos] == 'A' && m_last.memoryImage[kMarkerPos + 1] == 'A') {
                identified = true;
                qDebug().noquote() << "We have an NVX7300 connected";
            } else {
                qDebug().noquote() << "Attempt to update something which is not an NVX7300";
            }
            break;
        }
        index -= kLinesPerPasswordRecord;
    }

    if (comPort.left(8) == QLatin1String(kDemoPortPrefix)) {
        m_last.major = 1;
        m_last.minor = 0;
        m_version = getversion();
    } else if (!identified) {
        qDebug().noquote() << "Memory read failed";
        m_last.major = 0;
        m_last.minor = 0;
        m_version = QStringLiteral("Unknown");
        emit workerHandleVersionChanged(m_version);
        setStatus(kStatusNotIdentified);
        m_readBusy = 0;
        return;
    } else {
        m_last.major = hexPair(m_last.memoryImage, kMajorPos);
        m_last.minor = hexPair(m_last.memoryImage, kMinorPos);
        m_version = getversion();
        m_last.passwordIndex = index;
        m_last.imageFromThisInstrument = true;
    }

    emit workerHandleVersionChanged(m_version);
    setStatus(kStatusReadDone);
    m_readBusy = 0;
}

void Worker::doWork(const QString &comPort, const QString &filename)
{
    const std::unique_ptr<BackEnd> backEnd = newBackEnd(this);
    m_readJob = 0;
    const QString passwordFile = passwordFilePath();

    int result = kStatusRefused;
    if (filename.left(5) == QLatin1String(kErasePrefix)) {
        result = backEnd->load_bootstrap(comPort, QString(), 0, m_last.memoryImage, filename);
    } else if (!m_version.isEmpty() && m_version != QLatin1String("Unknown") && m_last.imageFromThisInstrument) {
        // The version bytes go back as erased flash; the new firmware records its own.
        std::memcpy(m_last.memoryImage + kMajorPos, "FF", 2);
        std::memcpy(m_last.memoryImage + kMinorPos, "FF", 2);
        result = backEnd->load_bootstrap(comPort, passwordFile, m_last.passwordIndex, m_last.memoryImage, filename);
        if (result == kReadSuccess)
            backEnd->restart(comPort, passwordFile, m_last.passwordIndex);
        else
            qDebug().noquote() << "Reprogramming failed";
    } else {
        qDebug().noquote() << "Memory read failed";
    }
    setStatus(result);
}
