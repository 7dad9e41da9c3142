#pragma once

#include "devicedriver.h"

#include <functional>
#include <memory>

// Where USBDeviceList::load() gets its devices from. Process-wide, GUI thread
// only, like the scan itself.
//
// By default each load() asks the platform driver: the vendor library on
// Windows, the system's serial-port list (udev) elsewhere. A process may
//  - add extra devices, listed after the driver's own and put through the
//    same scan (so only those described "NVX7300" become instruments):
//        const int id = discovery::addExtraDevice(
//            QStringLiteral("VIRTUAL1"), QStringLiteral("NVX7300"), simulator.slavePath());
//        ...
//        discovery::removeExtraDevice(id);
//  - replace the platform driver altogether (tests, tools):
//        discovery::setDriverFactory([] { return std::make_unique<MyDriver>(); });
//        discovery::setDriverFactory(nullptr); // back to the platform driver
namespace discovery {

using DriverFactory = std::function<std::unique_ptr<DeviceDriver>()>;

void setDriverFactory(DriverFactory factory);

// Returns an id for removeExtraDevice.
int addExtraDevice(const QString &serialNumber, const QString &description, const QString &portName);
void removeExtraDevice(int id);
void clearExtraDevices();

std::unique_ptr<DeviceDriver> createPlatformDriver();

// The driver one load() uses: the factory's (or the platform's) followed by
// the extra devices. When the first driver cannot build its list while extra
// devices exist, it counts as having none, so the extra devices still show.
std::unique_ptr<DeviceDriver> createDriver();

} // namespace discovery
