#pragma once

#include <QByteArray>
#include <QString>

// The instrument's information memory, 0x1000-0x10FF: its identity marker,
// the firmware version and the factory calibration. An update erases it and
// writes it back, so every copy of it is checked before it is trusted.
namespace infomemory {

constexpr int kSize = 0x100;
constexpr int kMarkerOffset = 0x80; // 0x1080: 0xAA on an NVX7300
constexpr int kMajorOffset = 0x90;  // 0x1090
constexpr int kMinorOffset = 0x91;  // 0x1091
constexpr char kMarker = char(0xAA);

// The 256 bytes when the text is exactly one complete image of 0x1000-0x10FF
// (every byte once, nothing else); otherwise empty.
QByteArray fromText(const QByteArray &text);

// The TI-TXT text a memory read produces for these bytes: "@1000", sixteen
// lines of sixteen values, "q".
QByteArray toText(const QByteArray &bytes);

bool hasMarker(const QByteArray &bytes);

// The image as an update writes it back: version bytes erased, so that the
// new firmware records its own.
QByteArray withErasedVersion(QByteArray bytes);

// True when what an interrupted update may have left (erased bytes and bytes
// already written back) fits this backup. The version bytes are not compared.
bool fitsBackup(const QByteArray &image, const QByteArray &backup);

// The backup's bytes, or empty when there is none or it is not a complete
// image with the marker.
QByteArray loadBackup(const QString &path);

// Writes a complete image with the marker through a temporary file and a
// rename, so a crash leaves the old backup or the new one, never a torn one.
// Refuses anything else, leaving an existing backup as it is.
bool saveBackup(const QString &path, const QByteArray &bytes);

} // namespace infomemory
