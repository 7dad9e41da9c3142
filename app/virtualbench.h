#pragma once

#include "virtualinstruments.h"

namespace nvx {

// The bench behind --virtual-instrument[=N]: virtual NVX7300s inside the
// program, listed by discovery as "VIRTUAL1", "VIRTUAL2", ... After a job the
// window reads the instrument again by itself, so they stay plugged in, as a
// real instrument does.
class VirtualBench
{
public:
    // The most a command line may ask for: pseudo-terminals are cheap, but a
    // typo should not open hundreds.
    static constexpr int kMaxInstruments = 16;

    VirtualBench();
    ~VirtualBench(); // unlists the instruments
    VirtualBench(const VirtualBench &) = delete;
    VirtualBench &operator=(const VirtualBench &) = delete;

    // False when a pseudo-terminal could not be opened.
    bool start(int count = 1);

    VirtualInstruments &instruments() { return m_instruments; }

private:
    VirtualInstruments m_instruments;
};

} // namespace nvx
