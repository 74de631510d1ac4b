#include "codec/h265_sets.h"

#include "base/bytes.h"

namespace tv {
namespace {

void skipSubLayerLevels(BitReader& br, uint32_t subLayers) {
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (uint32_t i = 0; i < subLayers; ++i) {
        profilePresent[i] = br.flag();
        levelPresent[i] = br.flag();
    }
    if (subLayers > 0)
        for (uint32_t i = subLayers; i < 8; ++i) br.skip(2);
    for (uint32_t i = 0; i < subLayers; ++i) {
        if (profilePresent[i]) br.skip(88);
        if (levelPresent[i]) br.skip(8);
    }
}

}  // namespace

uint32_t H265Sps::picSizeInCtbs() const {
    const uint32_t ctb = 1u << log2CtbSize;
    return ((widthLuma + ctb - 1) / ctb) * ((heightLuma + ctb - 1) / ctb);
}

std::optional<H265Sps> H265Sps::parse(const uint8_t* nal, size_t n) {
    if (n < 15 || ((nal[0] >> 1) & 0x3f) != 33) return std::nullopt;
    const auto rbsp = unescapeRbsp(nal + 2, n - 2);
    if (rbsp.size() < 13) return std::nullopt;
    BitReader br(rbsp);
    H265Sps s;
    br.skip(4);  // sps_video_parameter_set_id
    s.maxSubLayers = br.u(3) + 1;
    s.temporalIdNesting = br.flag();
    if (s.maxSubLayers > 7) return std::nullopt;
    s.profileTierLevel.assign(rbsp.begin() + 1, rbsp.begin() + 13);
    br.skip(96);
    skipSubLayerLevels(br, s.maxSubLayers - 1);
    s.id = br.ue();
    s.chromaFormat = br.ue();
    if (s.chromaFormat == 3) s.separateColourPlane = br.flag();
    s.widthLuma = br.ue();
    s.heightLuma = br.ue();
    uint32_t cl = 0, cr = 0, ct = 0, cb = 0;
    if (br.flag()) {
        cl = br.ue(); cr = br.ue(); ct = br.ue(); cb = br.ue();
    }
    s.bitDepthLuma = br.ue() + 8;
    s.bitDepthChroma = br.ue() + 8;
    s.log2MaxPocLsb = br.ue() + 4;
    const bool orderingInfo = br.flag();
    for (uint32_t i = orderingInfo ? 0 : s.maxSubLayers - 1; i < s.maxSubLayers; ++i) {
        br.ue(); br.ue(); br.ue();
    }
    const uint32_t minCb = br.ue() + 3;
    s.log2CtbSize = minCb + br.ue();
    const uint32_t subW = (s.chromaFormat == 1 || s.chromaFormat == 2) ? 2 : 1;
    const uint32_t subH = s.chromaFormat == 1 ? 2 : 1;
    if (!br.ok() || s.id > 15 || s.chromaFormat > 3 || s.widthLuma == 0 || s.heightLuma == 0 ||
        s.widthLuma > 16384 || s.heightLuma > 16384 || uint64_t(subW) * (uint64_t(cl) + cr) >= s.widthLuma ||
        uint64_t(subH) * (uint64_t(ct) + cb) >= s.heightLuma || s.bitDepthLuma > 16 || s.bitDepthChroma > 16 ||
        s.log2MaxPocLsb > 16 || s.log2CtbSize > 6)
        return std::nullopt;
    s.width = s.widthLuma - subW * (cl + cr);
    s.height = s.heightLuma - subH * (ct + cb);
    return s;
}

std::optional<H265Pps> H265Pps::parse(const uint8_t* nal, size_t n, const std::map<uint32_t, H265Sps>& sps) {
    if (n < 3 || ((nal[0] >> 1) & 0x3f) != 34) return std::nullopt;
    const auto rbsp = unescapeRbsp(nal + 2, n - 2);
    BitReader br(rbsp);
    H265Pps p;
    p.id = br.ue();
    p.spsId = br.ue();
    p.dependentSlicesEnabled = br.flag();
    p.outputFlagPresent = br.flag();
    p.extraSliceHeaderBits = br.u(3);
    if (!br.ok() || p.id > 63 || !sps.count(p.spsId)) return std::nullopt;
    return p;
}

}  // namespace tv
