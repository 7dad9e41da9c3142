#pragma once

#include <QString>

// Why a serial port could not be opened, asked of the port itself once the
// engine has failed to open it.
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

Diagnosis diagnose(const QString &port);

} // namespace portcheck
