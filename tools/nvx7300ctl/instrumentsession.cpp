#include "instrumentsession.h"

#include "controller.h"
#include "ctloptions.h"
#include "versioncomboboxmanagement.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLockFile>
#include <QSerialPort>
#include <QTimer>

namespace nvxctl {

namespace {
constexpr int kReadLockWaitMs = 120000; // other processes' reads, one after another
constexpr int kStatusPortFailed = 1;
constexpr int kStatusProgress = 2;
constexpr int kStatusNotConnected = 199;
constexpr int kStatusSuccessLimit = 100; // above it: a failed engine run
const char kLockName[] = ".nvx7300ctl-read.lock";
} // namespace

QString windowText(int status)
{
    if (status == kStatusPortFailed)
        return QStringLiteral("NVX7300 disconnected too soon");
    if (status == kStatusProgress)
        return QStringLiteral("Updating. Do not disconnect or switch off your NVX7300");
    if (status == kStatusNotConnected)
        return QStringLiteral("NVX7300 not connected");
    // 0: refused before anything reached the instrument, which is no success.
    if (status > kStatusSuccessLimit || status <= 0)
        return QStringLiteral("Update Failed");
    return QStringLiteral("Update Complete");
}

PortProblem diagnosePort(const QString &port)
{
    QSerialPort serial;
    serial.setPortName(port);
    if (serial.open(QIODevice::ReadWrite)) {
        serial.close();
        return {kExitPortUnavailable, QStringLiteral("serial port %1 could not be opened by the engine").arg(port)};
    }
    const QSerialPort::SerialPortError error = serial.error();
    if (error == QSerialPort::DeviceNotFoundError)
        return {kExitNoInstrument, QStringLiteral("no instrument at %1").arg(port)};
    if (error == QSerialPort::PermissionError) {
        const QString path = serial.portName().startsWith(QLatin1Char('/')) ? serial.portName()
                                                                             : QStringLiteral("/dev/") + serial.portName();
        const QFileInfo info(port.startsWith(QLatin1Char('/')) ? port : path);
        if (info.exists() && (!info.isReadable() || !info.isWritable())) {
            return {kExitPortUnavailable,
                    QStringLiteral("not permitted to open %1; install the udev rule: "
                                   "sudo cp packaging/linux/60-nvx7300.rules /etc/udev/rules.d/ "
                                   "&& sudo udevadm control --reload-rules && sudo udevadm trigger, "
                                   "then plug the instrument in again")
                        .arg(port)};
        }
        return {kExitPortUnavailable, QStringLiteral("serial port %1 is busy (another program has it open)").arg(port)};
    }
    return {kExitPortUnavailable, QStringLiteral("cannot open %1: %2").arg(port, serial.errorString())};
}

struct InstrumentSession::Impl
{
    Controller controller;
};

InstrumentSession::InstrumentSession() : d(new Impl) {}

// Destroying the controller waits for a job in progress.
InstrumentSession::~InstrumentSession()
{
    delete d;
}

ReadOutcome InstrumentSession::read(const QString &port, int timeoutMs)
{
    ReadOutcome outcome;
    const QString folder = VersionComboBoxManagement::firmwareDirectory();
    QDir().mkpath(folder);
    QLockFile lock(folder + QLatin1Char('/') + QLatin1String(kLockName));
    lock.setStaleLockTime(0); // a crashed holder is detected by its process id
    if (!lock.tryLock(kReadLockWaitMs)) {
        outcome.timedOut = true;
        return outcome;
    }

    QEventLoop loop;
    bool answered = false;
    auto statusConnection = QObject::connect(&d->controller, &Controller::controllerHandleStatusChanged, &loop,
                                             [&](int status) {
                                                 if (status == kStatusPortFailed)
                                                     outcome.portFailed = true;
                                             });
    auto versionConnection = QObject::connect(&d->controller, &Controller::controllerHandleVersionChanged, &loop,
                                              [&](const QString &version) {
                                                  outcome.version = version;
                                                  answered = true;
                                                  loop.quit();
                                              });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    d->controller.read(port);
    if (!answered)
        loop.exec();
    QObject::disconnect(statusConnection);
    QObject::disconnect(versionConnection);
    outcome.timedOut = !answered;
    return outcome;
}

RunOutcome InstrumentSession::run(const QString &port, const QString &filename, int timeoutMs,
                                  const std::function<void(int)> &onTick)
{
    RunOutcome outcome;
    QEventLoop loop;
    auto connection = QObject::connect(&d->controller, &Controller::controllerHandleStatusChanged, &loop,
                                       [&](int status) {
                                           if (status == kStatusProgress) {
                                               ++outcome.ticks;
                                               if (onTick)
                                                   onTick(outcome.ticks);
                                               return;
                                           }
                                           outcome.status = status;
                                           loop.quit();
                                       });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    d->controller.start(port, filename);
    loop.exec();
    QObject::disconnect(connection);
    return outcome;
}

} // namespace nvxctl
