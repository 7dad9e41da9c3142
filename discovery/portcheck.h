#pragma once

#include <QString>

// Why a serial port could not be opened, asked of the port itself once the
// engine has failed to open it, or found by the scan. Each answer also goes
// to the log file as one critical line naming the port (the file keeps text
// for nothing less), once per port and reason: the window scans every second
// and reads again whenever the selection changes.
namespace portcheck {

enum class PortState {
    Openable,     // it opens now: the failure has passed
    Missing,      // no such device: unplugged, or a wrong name
    Busy,         // another program has it open
    NotPermitted, // this user may not open it (on Linux: the udev rule is missing)
    Failed,       // any other reason, in detail
};

struct Diagnosis
{
    PortState state = PortState::Failed;
    QString detail; // the system's own words, for PortState::Failed
};

// What lets this user open the instrument's port: on Linux the udev rule,
// named where it is installed, or else the command that installs it.
QString permissionAdvice();

// What a path is when it cannot be a serial port ("a file", "a folder", a
// device of another kind); empty when it may be one, or does not exist.
// Asks the file system only: opening a real port pulses the lines that
// reset the instrument.
QString notASerialPort(const QString &port);

// Asks the port, and reports the answer.
Diagnosis diagnose(const QString &port);

// Logs "Cannot open <port>: <reason>" as a critical message unless this
// port was reported with this reason since it last opened. Any thread.
void report(const QString &port, const Diagnosis &diagnosis);

// The port can be used again: its next failure is reported anew.
void forget(const QString &port);

} // namespace portcheck
