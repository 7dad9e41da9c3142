#pragma once

// TI-TXT texts for the tests, written by the program's own formatter so that
// every suite writes its files the same way.

#include <QByteArray>

#include <cstdint>
#include <initializer_list>
#include <vector>

struct TestBlock
{
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

// The blocks in order, 16 values a line, each line ended by lineEnd; the end
// line "q" unless withEnd is false (for texts that go on).
QByteArray tiTxt(std::initializer_list<TestBlock> blocks, const QByteArray &lineEnd = "\n", bool withEnd = true);
QByteArray tiTxt(uint32_t address, const std::vector<uint8_t> &bytes, const QByteArray &lineEnd = "\n",
                 bool withEnd = true);
