#include "codec/nal_units.h"

#include <algorithm>

namespace tv {

NalRead readNalAt(const ByteSource& src, int64_t at, int64_t limit, VideoCodec codec, int lengthSize,
                  size_t window, int64_t maxSize) {
    NalRead n;
    n.offset = at;
    if (at >= limit) return n;
    const size_t ls = size_t(lengthSize), hs = size_t(nalHeaderSize(codec));
    // One read for the length and the head; the length is then dropped.
    n.head.resize(size_t(std::min<int64_t>(int64_t(ls + window), limit - at)));
    const size_t got = src.read(at, n.head.data(), n.head.size());
    if (got < ls + hs) {
        n.state = NalRead::State::Truncated;
        n.head.clear();
        return n;
    }
    uint32_t len = 0;
    for (size_t i = 0; i < ls; ++i) len = len << 8 | n.head[i];
    auto h = parseNalHeader(codec, n.head.data() + ls, got - ls);
    if (!h || len < hs || int64_t(len) > maxSize) {
        n.state = NalRead::State::Invalid;
        n.head.clear();
        return n;
    }
    n.header = *h;
    n.end = at + int64_t(ls) + int64_t(len);
    n.head.resize(ls + std::min<size_t>(got - ls, len));
    n.head.erase(n.head.begin(), n.head.begin() + std::ptrdiff_t(ls));
    n.state = n.end > limit ? NalRead::State::Beyond : NalRead::State::Ok;
    return n;
}

}  // namespace tv
