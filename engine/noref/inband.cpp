#include "noref/inband.h"

#include "codec/nal_header.h"

#include <algorithm>

namespace tv {
namespace {

// A parameter set larger than this is not one (an SPS with every scaling
// list and a full VUI stays well under a kilobyte).
constexpr uint32_t kMaxParameterSet = 64 * 1024;

}  // namespace

std::vector<std::vector<uint8_t>> inbandParameterSets(const ByteSource& src, VideoCodec codec,
                                                      int nalLengthSize,
                                                      const std::vector<FrameInfo>& frames) {
    std::vector<std::vector<uint8_t>> found;
    const int ls = nalLengthSize, hs = nalHeaderSize(codec);
    for (const auto& f : frames) {
        int64_t p = f.offset;
        const int64_t end = f.offset + f.size;
        while (p + ls + hs <= end) {
            uint8_t head[8] = {};
            if (!src.readExact(p, head, size_t(ls + hs))) break;
            uint32_t len = 0;
            for (int i = 0; i < ls; ++i) len = len << 8 | head[i];
            auto h = parseNalHeader(codec, head + ls, size_t(hs));
            if (!h || len < uint32_t(hs) || p + ls + int64_t(len) > end) break;
            // Parameter sets come before the picture's first slice.
            if (isSlice(codec, h->type)) break;
            if (isParameterSet(codec, h->type) && len <= kMaxParameterSet) {
                auto nal = src.readVector(p + ls, len);
                if (std::find(found.begin(), found.end(), nal) == found.end())
                    found.push_back(std::move(nal));
            }
            p += ls + int64_t(len);
        }
    }
    return found;
}

}  // namespace tv
