#include "virtualbench.h"

namespace nvx {

VirtualBench::VirtualBench() = default;

VirtualBench::~VirtualBench() = default;

bool VirtualBench::start(int count)
{
    return m_instruments.start(count);
}

} // namespace nvx
