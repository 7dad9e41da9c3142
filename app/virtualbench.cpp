#include "virtualbench.h"

#include "devicesources.h"
#include "simulator.h"

namespace nvx {

VirtualBench::VirtualBench() = default;

VirtualBench::~VirtualBench()
{
    discovery::setDriverFactory(nullptr);
}

bool VirtualBench::start()
{
    if (!m_instruments.start(1))
        return false;
    m_massErasesSeen = m_instruments.instrument(0).stats().massErases;
    // Every scan passes here first (GUI thread), then lists the platform's
    // devices followed by the extra ones, the virtual instrument among them.
    discovery::setDriverFactory([this] {
        beforeScan();
        return discovery::createPlatformDriver();
    });
    return true;
}

void VirtualBench::beforeScan()
{
    nvxsim::Simulator &instrument = m_instruments.instrument(0);
    if (!m_instruments.isListed(0)) {
        // The previous scan saw it gone; this one finds it again.
        m_instruments.setListed(0, true);
        return;
    }
    // Reprogrammed (a mass erase) and released by the host: replug. A read
    // alone never erases, so reading does not bring the instrument back round.
    const int massErases = instrument.stats().massErases;
    if (massErases != m_massErasesSeen && !instrument.hostConnected()) {
        m_massErasesSeen = massErases;
        m_instruments.setListed(0, false);
    }
}

} // namespace nvx
