#include "rsv/stream_check.h"

#include "codec/nal_units.h"

#include <algorithm>

namespace tv {

std::optional<std::vector<uint32_t>> sliceAddresses(const ByteSource& src, int64_t offset, int64_t size,
                                                    VideoCodec codec, int nalLengthSize,
                                                    const ParameterSets& ps) {
    std::vector<uint32_t> out;
    // A slice start lies well within the first bytes of its unit.
    const bool whole = forEachNalIn(src, offset, offset + size, codec, nalLengthSize, 64, [&](const NalRead& n) {
        if (!isSlice(codec, n.header.type)) return true;
        auto st = ps.parseSliceStart(n.head.data(), n.head.size());
        if (st) out.push_back(st->address);
        return st.has_value();
    });
    if (!whole || out.empty()) return std::nullopt;
    return out;
}

namespace {

// The one layout every picture shares, if they all do.
std::optional<std::vector<uint32_t>> fixedLayout(const std::vector<std::vector<uint32_t>>& pictures) {
    if (pictures.empty()) return std::nullopt;
    for (const auto& p : pictures)
        if (p != pictures.front()) return std::nullopt;
    return pictures.front();
}

}  // namespace

std::optional<std::string> frameSizeMismatch(const std::vector<std::vector<uint32_t>>& reference,
                                             const std::vector<std::vector<uint32_t>>& rsv,
                                             uint64_t pictureUnits) {
    if (pictureUnits > 0)
        for (const auto& p : rsv)
            for (uint32_t a : p)
                if (a >= pictureUnits)
                    return "the RSV's pictures are larger than the reference's (a slice starts at block " +
                           std::to_string(a) + " of " + std::to_string(pictureUnits) + ")";
    auto r = fixedLayout(reference), s = fixedLayout(rsv);
    // Only fixed layouts with the same slice count say something: an encoder
    // that sizes slices by bytes moves them from picture to picture.
    if (r && s && r->size() == s->size() && r->size() > 1 && *r != *s)
        return "the RSV's pictures are divided into slices at other positions than the reference's "
               "(another frame size)";
    return std::nullopt;
}

std::vector<std::vector<uint32_t>> referenceSliceLayouts(const ByteSource& refFile, const Reference& ref,
                                                         const ParameterSets& ps, size_t limit) {
    std::vector<std::vector<uint32_t>> out;
    const auto& v = ref.videoTrack();
    if (v.chunkOffsets.empty() || v.stsc.empty()) return out;
    size_t n = std::min<size_t>({limit, v.stsc.front().samplesPerChunk, size_t(v.sizes.count)});
    int64_t at = v.chunkOffsets.front();
    for (size_t i = 0; i < n; ++i) {
        const int64_t size = v.sizes.constant ? v.sizes.constant
                                              : (i < v.sizes.sizes.size() ? v.sizes.sizes[i] : 0);
        if (size <= 0) break;
        auto layout = sliceAddresses(refFile, at, size, v.video.codec, v.video.nalLengthSize, ps);
        if (!layout) return {};  // unreadable: compare nothing rather than part
        out.push_back(std::move(*layout));
        at += size;
    }
    return out;
}

}  // namespace tv
