#pragma once

#include <cstdint>

namespace bsl {

struct EngineSession;

// The set-memory-offset command (0x21, the -x bracket): the upper address
// bits of the memory commands after it. The command line sends every one
// its steps ask for; the toolkit's runs (RunOptions::offsetsWhenChanged)
// only those that change the loader's offset. Returns a frame-layer code.
int setMemoryOffset(EngineSession &s, uint16_t upper);

// The loader restarted (load PC into it or a new loader): its offset is no
// longer known, so the next one goes out.
void forgetMemoryOffset(EngineSession &s);

} // namespace bsl
