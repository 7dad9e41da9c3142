#pragma once

#include <cstdint>

namespace bsl {

// TI-TXT writer: "@%04lX" address lines, 16 "%02X" bytes a line, "q" at the end.
bool tiTxtOpen(const char *path);
bool tiTxtWriteBlock(uint32_t address, uint16_t words, const uint8_t *bytes);
bool tiTxtClose();

// The read step of a run: start/length/readFile of the engine settings into a
// TI-TXT file. Returns 0 or the code that ends the run.
int readMemoryToFile();

} // namespace bsl
