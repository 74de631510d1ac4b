#include "noref/inband.h"

#include "codec/nal_units.h"

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
    for (const auto& f : frames) {
        // The head is the NAL header alone: only parameter sets are read whole.
        forEachNalIn(src, f.offset, f.offset + f.size, codec, nalLengthSize, size_t(nalHeaderSize(codec)),
                     [&](const NalRead& n) {
                         // Parameter sets come before the picture's first slice.
                         if (isSlice(codec, n.header.type)) return false;
                         const int64_t len = n.end - n.offset - nalLengthSize;
                         if (isParameterSet(codec, n.header.type) && len <= kMaxParameterSet) {
                             auto nal = src.readVector(n.offset + nalLengthSize, size_t(len));
                             if (std::find(found.begin(), found.end(), nal) == found.end())
                                 found.push_back(std::move(nal));
                         }
                         return true;
                     });
    }
    return found;
}

}  // namespace tv
