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

// The TI-TXT text an update writes back after the erase: the image with its
// version bytes erased, the word that holds the marker last. Blocks are
// programmed in text order, so an instrument that holds the marker holds
// every other byte of the image as well, whenever the writing stopped.
QByteArray toRestoreText(const QByteArray &bytes);

bool hasMarker(const QByteArray &bytes);

// The image as an update writes it back: version bytes erased, so that the
// new firmware records its own.
QByteArray withErasedVersion(QByteArray bytes);

// True when what an interrupted update may have left (erased bytes and bytes
// already written back) fits this backup. The version bytes are not compared.
bool fitsBackup(const QByteArray &image, const QByteArray &backup);

// Backups live per bridge serial number, each with the previous generation
// beside it; the firmware store names and writes both (FirmwareStore::backupName). The file is the TI-TXT image followed, after
// its end line, by "sha256 " and the digest of everything before: readers of
// TI-TXT stop at the end line, and a bit changed anywhere shows.
enum class BackupState {
    Missing,
    Intact,  // complete image with the marker and its matching digest line
    Damaged, // there, but not such an image
};

struct BackupCopy
{
    QByteArray bytes;      // what can be restored; empty when no copy is intact
    BackupState latest = BackupState::Missing;
    bool fromOlderCopy = false; // the latest is not intact; bytes are the previous generation's
};

BackupCopy loadBackup(const QString &path);

// The file text of a backup of these bytes.
QByteArray backupText(const QByteArray &bytes);

// Makes path hold a backup of bytes (a complete image with the marker),
// written durably and read back equal; an intact backup of other bytes that
// was there becomes the previous generation, and a damaged one is kept
// aside under its name + ".damaged-" + the time. False, with the reason in
// *error, when that cannot be done; anything else is refused and leaves the
// files as they are.
bool saveBackup(const QString &path, const QByteArray &bytes, QString *error);

} // namespace infomemory
