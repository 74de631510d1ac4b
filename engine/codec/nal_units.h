// The length-prefixed NAL units of one sample in memory (ISO/IEC 14496-15:
// each unit preceded by its length in `lengthSize` big-endian bytes).
//
// Thread: any. Errors: none thrown; a length of 0 or one running past the
// end stops the walk.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tv {

// Calls f(nal, size) for each unit in order until f returns false; returns
// true when the units fill the sample exactly.
template <class F>
bool forEachNal(const uint8_t* p, size_t n, int lengthSize, F&& f) {
    size_t at = 0;
    while (at < n) {
        if (n - at < size_t(lengthSize)) return false;
        size_t len = 0;
        for (int i = 0; i < lengthSize; ++i) len = len << 8 | p[at + size_t(i)];
        at += size_t(lengthSize);
        if (len == 0 || len > n - at) return false;
        if (!f(p + at, len)) return false;
        at += len;
    }
    return true;
}

}  // namespace tv
