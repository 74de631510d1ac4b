// Fuzz target: bytes as a reference file. The reference analysis must answer
// every input with a Reference or an EngineError; an accepted reference is then
// used the way a repair uses it (layout, parameter sets, a short walk over the
// same bytes and a moov built from it), so values a damaged reference lets
// through are exercised downstream too.
#include "base/byte_source.h"
#include "base/errors.h"
#include "mp4/reference.h"
#include "walk_driver.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tv::MemorySource src(data, size);
    tv::Reference ref;
    try {
        ref = tv::parseReference(src);
    } catch (const tv::EngineError&) {
        return 0;
    }
    (void)tv::describe(ref);

    // The media data of a reference is laid out like an RSV's.
    tvfuzz::WalkLimits lim;
    lim.maxGroups = 4;
    tvfuzz::walkAndBuild(ref, src, lim);
    return 0;
}
