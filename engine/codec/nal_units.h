// The length-prefixed NAL units of a sample (ISO/IEC 14496-15: each unit
// preceded by its length in `lengthSize` big-endian bytes), in memory or read
// through a ByteSource a header at a time.
//
// Thread: any (a source is read from one thread at a time). Errors: none
// thrown for bad bytes (a unit that does not check out stops the walk); I/O
// errors propagate from the source as EngineError(Io).
#pragma once

#include "base/byte_source.h"
#include "codec/nal_header.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

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

// One unit read from a source: its header and first bytes, never its body.
struct NalRead {
    // Eof: at or past the limit. Truncated: its length and header do not fit
    // before the limit. Invalid: a header no camera stream carries, or a
    // length shorter than the header or above the caller's maximum. Beyond:
    // its length runs past the limit.
    enum class State { Ok, Eof, Truncated, Invalid, Beyond };
    State state = State::Eof;
    int64_t offset = 0, end = 0;  // end: after the unit, as its length says
    NalHeader header;
    std::vector<uint8_t> head;  // from the NAL header on, at most `window` bytes
};

// Reads the unit at `at` of a stream of units that ends at `limit`.
NalRead readNalAt(const ByteSource& src, int64_t at, int64_t limit, VideoCodec codec, int lengthSize,
                  size_t window, int64_t maxSize = std::numeric_limits<int64_t>::max());

// Calls f(const NalRead&) for each unit of [offset, end) until f returns
// false; returns true when the units fill the range exactly.
template <class F>
bool forEachNalIn(const ByteSource& src, int64_t offset, int64_t end, VideoCodec codec, int lengthSize,
                  size_t window, F&& f) {
    for (int64_t p = offset; p < end;) {
        const NalRead n = readNalAt(src, p, end, codec, lengthSize, window);
        if (n.state != NalRead::State::Ok || !f(n)) return false;
        p = n.end;
    }
    return true;
}

}  // namespace tv
