#pragma once

#include "virtualinstruments.h"

namespace nvx {

// The bench behind --virtual-instrument: one virtual NVX7300 inside the
// program, listed by discovery as "VIRTUAL1".
//
// After an update a real instrument is unplugged and plugged in again, and
// the window reads the version only when the number of instruments changes.
// The virtual one does this by itself: once it has been mass-erased and the
// host has closed its port, the next device scan misses it and the scan
// after that finds it again.
class VirtualBench
{
public:
    VirtualBench();
    ~VirtualBench(); // unlists the instrument and gives scans back to the platform driver
    VirtualBench(const VirtualBench &) = delete;
    VirtualBench &operator=(const VirtualBench &) = delete;

    // False when no pseudo-terminal could be opened.
    bool start();

    VirtualInstruments &instruments() { return m_instruments; }

private:
    void beforeScan();

    VirtualInstruments m_instruments;
    int m_massErasesSeen = 0;
};

} // namespace nvx
