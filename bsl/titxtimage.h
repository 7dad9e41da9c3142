#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>

// TI-TXT text held in memory, for everything on the Qt side: checks of
// downloaded files, backups of the information memory, the files the program
// and its tools write. The engine reads and writes its files line by line on
// its own (titext.h, memoryread.h).
namespace titxt {

constexpr uint32_t kAddressLimit = 0x100000; // 20-bit address space; nothing may lie at or above it
constexpr int kBytesPerLine = 16;

// Consecutive bytes starting at one address.
struct Block
{
    uint32_t address = 0;
    QByteArray bytes;
};

// Blocks in text order, one per address line. The order matters: blocks are
// programmed in it, and an address given twice stays visible to the checks.
using Image = QVector<Block>;

// Descrambles the text (plain passes unchanged) and parses it strictly:
// address lines, data lines of 1-16 hex pairs (either case) separated by
// single spaces, blank lines, and an end line "q" that must be there (a text
// cut short has none). Lines are at most as long as the engine reads them;
// addresses and data stay below kAddressLimit. Returns the blocks, and in
// *end (when given) the offset just after the end line so that a caller can
// read the next record; or sets *reason and returns false.
bool parse(const QByteArray &text, Image *image, QString *reason, int *end = nullptr);

// One block without the end line: "@" and at least four upper-case hex
// digits, then lines of up to 16 upper-case pairs, each line ended by lineEnd.
QByteArray formatBlock(uint32_t address, const QByteArray &bytes, const QByteArray &lineEnd = "\n");

// The blocks in order, then the end line "q".
QByteArray format(const Image &image, const QByteArray &lineEnd = "\n");

} // namespace titxt
