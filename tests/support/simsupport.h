#pragma once

// Files and images for the tests that run against the virtual instrument.

#include "simulator.h"
#include "titxtfiles.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <vector>

inline std::vector<uint8_t> pattern(size_t count, uint8_t seed)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = uint8_t(seed + i * 7 + (i >> 8));
    return bytes;
}

inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(content);
    return path;
}

// Two four-line records: line 0 opens the default instrument, line 4 does not.
inline QByteArray passwordFileText()
{
    const std::array<uint8_t, 32> good = nvxsim::defaultVectors();
    std::vector<uint8_t> wrong(32);
    for (int i = 0; i < 16; ++i) {
        wrong[size_t(2 * i)] = uint8_t(2 * i);
        wrong[size_t(2 * i + 1)] = 0x20;
    }
    return tiTxt(0xFFE0, std::vector<uint8_t>(good.begin(), good.end())) + tiTxt(0xFFE0, wrong);
}

// A firmware image for the default instrument: code at 0x8000, the version
// record and the shared vector table.
inline QByteArray firmwareText(size_t codeBytes, uint8_t major, uint8_t minor, const QByteArray &lineEnd = "\n")
{
    const std::array<uint8_t, 32> v = nvxsim::defaultVectors();
    std::vector<uint8_t> tail = {major, minor, 0xFF, 0xFF};
    tail.insert(tail.end(), v.begin(), v.end());
    return tiTxt({{0x8000, pattern(codeBytes, 0x31)}, {0xFFDC, tail}}, lineEnd);
}
