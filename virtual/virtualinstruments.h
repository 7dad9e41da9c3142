#pragma once

#include <QString>

#include <memory>
#include <vector>

namespace nvxsim {
class Simulator;
}

namespace nvx {

// Virtual NVX7300s on pseudo-terminals, listed by discovery as attached
// instruments ("VIRTUAL1", "VIRTUAL2", ...), so that the window and the
// command-line front end can be tried end to end without hardware: the
// engine still talks to them through the real serial port.
class VirtualInstruments
{
public:
    VirtualInstruments();
    ~VirtualInstruments(); // unlists and stops every instrument
    VirtualInstruments(const VirtualInstruments &) = delete;
    VirtualInstruments &operator=(const VirtualInstruments &) = delete;

    // Starts `count` default instruments running firmware 1.10. Returns false
    // (and lists none) when a pseudo-terminal cannot be opened.
    bool start(int count);

    int count() const;
    nvxsim::Simulator &instrument(int index);
    QString serialNumber(int index) const;
    QString portName(int index) const;

    // Takes an instrument off the device list and puts it back, as pulling
    // and replugging its USB cable would; the instrument keeps running.
    void setListed(int index, bool listed);
    bool isListed(int index) const;

private:
    struct Entry;
    std::vector<std::unique_ptr<Entry>> m_entries;
};

} // namespace nvx
