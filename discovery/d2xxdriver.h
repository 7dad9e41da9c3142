#pragma once

#include "devicedriver.h"

#include <memory>

namespace discovery {

// The vendor driver library's device-information record: 100 bytes, packed
// back to back in driver index order.
constexpr int kD2xxRecordSize = 100;
constexpr int kD2xxSerialOffset = 16;      // NUL-terminated, within 16 bytes
constexpr int kD2xxSerialSize = 16;
constexpr int kD2xxDescriptionOffset = 32; // NUL-terminated, within 64 bytes
constexpr int kD2xxDescriptionSize = 64;

// Reads the first min(count, whole records in buffer) records. A text that
// fills its field without a NUL ends at the field's end.
QVector<DeviceInfo> parseD2xxRecords(const QByteArray &buffer, quint32 count);

// The vendor library "FTD2XX.dll", bound by ordinal. Exists on Windows only;
// elsewhere null. A missing library lists no devices and says so once in
// the debug log.
std::unique_ptr<DeviceDriver> createD2xxDriver();

} // namespace discovery
