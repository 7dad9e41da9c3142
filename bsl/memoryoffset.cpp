#include "memoryoffset.h"

#include "bslframe.h"
#include "enginestate.h"

namespace bsl {

int setMemoryOffset(uint16_t upper)
{
    EngineState &e = engineState();
    std::optional<uint16_t> &offset = e.target.memoryOffset;
    if (e.settings.toolkit.offsetsWhenChanged && offset == upper)
        return kOk;
    offset.reset(); // unknown until the loader takes the new one
    const int code = bslTxRx(kCmdSetOffset, 0, upper, nullptr, nullptr);
    if (code == kOk)
        offset = upper;
    return code;
}

void forgetMemoryOffset()
{
    engineState().target.memoryOffset.reset();
}

} // namespace bsl
