// Fuzz target: bytes as the start of an RSV on a card. What the scan reads of
// its first group (codec, rate) must come back or be absent, never crash,
// and stay within the bytes it was given.
#include "base/byte_source.h"
#include "scan/clip_info.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const tv::MemorySource rsv(data, size);
    const std::optional<ClipInfo> info = clipInfoOf(rsv);
    if (info && info->fps && (*info->fps <= 0 || *info->fps > 240)) std::abort();
    if (info) (void)info->toValue().dump();
    return 0;
}
