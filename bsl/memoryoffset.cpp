#include "memoryoffset.h"

#include "enginestate.h"

namespace bsl {

int setMemoryOffset(EngineSession &s, uint16_t upper)
{
    std::optional<uint16_t> &offset = s.target.memoryOffset;
    if (s.toolkit.offsetsWhenChanged && offset == upper)
        return kOk;
    offset.reset(); // unknown until the loader takes the new one
    const int code = s.frames.bslTxRx(kCmdSetOffset, 0, upper, nullptr, nullptr);
    if (code == kOk)
        offset = upper;
    return code;
}

void forgetMemoryOffset(EngineSession &s)
{
    s.target.memoryOffset.reset();
}

} // namespace bsl
