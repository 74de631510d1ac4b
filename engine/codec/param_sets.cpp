// SPS/PPS fields and slice headers, as far as picture order and slice
// addresses need them (H.264 7.3.2.1/7.3.2.2/7.3.3, H.265 7.3.2.2/7.3.2.3/7.3.6).
#include "codec/param_sets.h"

#include "base/bytes.h"

#include <algorithm>

namespace tv {
namespace {

void skipScalingList(BitReader& br, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && br.ok(); ++j) {
        if (next != 0) next = (last + br.se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

void skipProfileTierLevel(BitReader& br, uint32_t maxSubLayersMinus1) {
    br.skip(88);  // general profile space .. general constraint flags
    br.skip(8);   // general_level_idc
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = br.flag();
        levelPresent[i] = br.flag();
    }
    if (maxSubLayersMinus1 > 0)
        for (uint32_t i = maxSubLayersMinus1; i < 8; ++i) br.skip(2);
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) br.skip(88);
        if (levelPresent[i]) br.skip(8);
    }
}

uint32_t ceilLog2(uint32_t v) {
    uint32_t n = 0;
    while ((uint64_t(1) << n) < v) ++n;
    return n;
}

}  // namespace

uint32_t ParameterSets::Sps::picSizeInCtbs() const {
    uint32_t ctb = 1u << log2CtbSize;
    return ((widthLuma + ctb - 1) / ctb) * ((heightLuma + ctb - 1) / ctb);
}

ParameterSets ParameterSets::fromConfig(VideoCodec codec,
                                        const std::vector<std::vector<uint8_t>>& nals) {
    ParameterSets ps;
    ps.codec_ = codec;
    // Parameter sets may refer to each other in any order: SPS first.
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& nal : nals) {
            auto h = parseNalHeader(codec, nal.data(), nal.size());
            if (!h) continue;
            int hs = nalHeaderSize(codec);
            auto rbsp = unescapeRbsp(nal.data() + hs, nal.size() - size_t(hs));
            bool isSps = codec == VideoCodec::H264 ? h->type == 7 : h->type == 33;
            if (isSps != (pass == 0)) continue;
            if (codec == VideoCodec::H264) ps.addH264(rbsp, h->type);
            else ps.addH265(rbsp, h->type);
        }
    }
    return ps;
}

const ParameterSets::Sps* ParameterSets::spsFor(uint32_t ppsId) const {
    auto p = pps_.find(ppsId);
    if (p == pps_.end()) return nullptr;
    auto s = sps_.find(p->second.spsId);
    return s == sps_.end() ? nullptr : &s->second;
}

void ParameterSets::addH264(const std::vector<uint8_t>& rbsp, int type) {
    BitReader br(rbsp);
    if (type == 7) {
        Sps s;
        uint32_t profile = br.u(8);
        br.skip(16);
        uint32_t id = br.ue();
        if (h264SpsHasChromaInfo(profile)) {
            uint32_t chroma = br.ue();
            if (chroma == 3) s.separateColourPlane = br.flag();
            br.ue();
            br.ue();
            br.skip(1);
            if (br.flag()) {
                for (int i = 0; i < (chroma != 3 ? 8 : 12) && br.ok(); ++i)
                    if (br.flag()) skipScalingList(br, i < 6 ? 16 : 64);
            }
        }
        s.log2MaxFrameNum = br.ue() + 4;
        s.pocType = br.ue();
        if (s.pocType == 0) {
            s.log2MaxPocLsb = br.ue() + 4;
        } else if (s.pocType == 1) {
            s.deltaPicOrderAlwaysZero = br.flag();
            s.offsetForNonRefPic = br.se();
            s.offsetForTopToBottom = br.se();
            uint32_t n = br.ue();
            if (n > 255) return;
            for (uint32_t i = 0; i < n && br.ok(); ++i) s.offsetForRefFrame.push_back(br.se());
        }
        br.ue();  // max_num_ref_frames
        br.skip(1);
        br.ue();
        br.ue();
        s.frameMbsOnly = br.flag();
        if (br.ok() && id < 32 && s.pocType <= 2 && s.log2MaxFrameNum <= 16 &&
            s.log2MaxPocLsb <= 16)
            sps_[id] = s;
    } else if (type == 8) {
        Pps p;
        uint32_t id = br.ue();
        p.spsId = br.ue();
        br.skip(1);
        p.bottomFieldPicOrderPresent = br.flag();
        if (br.ok() && id < 256 && sps_.count(p.spsId)) pps_[id] = p;
    }
}

void ParameterSets::addH265(const std::vector<uint8_t>& rbsp, int type) {
    BitReader br(rbsp);
    if (type == 33) {
        Sps s;
        br.skip(4);
        uint32_t maxSubLayersMinus1 = br.u(3);
        br.skip(1);
        if (maxSubLayersMinus1 > 6) return;
        skipProfileTierLevel(br, maxSubLayersMinus1);
        uint32_t id = br.ue();
        uint32_t chroma = br.ue();
        if (chroma == 3) s.separateColourPlane = br.flag();
        s.widthLuma = br.ue();
        s.heightLuma = br.ue();
        if (br.flag()) {
            br.ue(); br.ue(); br.ue(); br.ue();
        }
        br.ue();
        br.ue();
        s.log2MaxPocLsb = br.ue() + 4;
        bool orderingInfo = br.flag();
        for (uint32_t i = orderingInfo ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
            br.ue(); br.ue(); br.ue();
        }
        uint32_t minCb = br.ue() + 3;
        uint32_t diff = br.ue();
        s.log2CtbSize = minCb + diff;
        if (br.ok() && id < 16 && s.log2MaxPocLsb <= 16 && s.log2CtbSize <= 6 &&
            s.widthLuma > 0 && s.heightLuma > 0 && s.widthLuma <= 65536 && s.heightLuma <= 65536)
            sps_[id] = s;
    } else if (type == 34) {
        Pps p;
        uint32_t id = br.ue();
        p.spsId = br.ue();
        p.dependentSlicesEnabled = br.flag();
        p.outputFlagPresent = br.flag();
        p.extraSliceHeaderBits = br.u(3);
        if (br.ok() && id < 64 && sps_.count(p.spsId)) pps_[id] = p;
    }
}

std::optional<SliceInfo> ParameterSets::openSlice(const uint8_t* nal, size_t n, size_t limit,
                                                  std::vector<uint8_t>& rbsp) const {
    auto h = parseNalHeader(codec_, nal, n);
    if (!h || !isSlice(codec_, h->type)) return std::nullopt;
    n = std::min(n, limit);
    const int hs = nalHeaderSize(codec_);
    rbsp = unescapeRbsp(nal + hs, n - size_t(hs));
    SliceInfo s;
    s.nal = *h;
    return s;
}

std::optional<SliceInfo> ParameterSets::parseSliceStart(const uint8_t* nal, size_t n) const {
    std::vector<uint8_t> rbsp;
    // The slice address comes within the first bytes.
    std::optional<SliceInfo> opened = openSlice(nal, n, 48, rbsp);
    if (!opened) return std::nullopt;
    SliceInfo s = *opened;
    const auto* h = &s.nal;
    BitReader br(rbsp);
    if (codec_ == VideoCodec::H264) {
        s.address = br.ue();
        s.firstInPicture = s.address == 0;
        if (!br.ok()) return std::nullopt;
        return s;
    }
    s.firstInPicture = br.flag();
    if (h->type >= 16 && h->type <= 23) br.skip(1);
    s.ppsId = br.ue();
    if (!s.firstInPicture) {
        auto p = pps_.find(s.ppsId);
        const Sps* sps = spsFor(s.ppsId);
        if (!sps) return std::nullopt;
        if (p->second.dependentSlicesEnabled) br.skip(1);
        s.address = br.u(int(ceilLog2(sps->picSizeInCtbs())));
    }
    if (!br.ok()) return std::nullopt;
    return s;
}

std::optional<SliceInfo> ParameterSets::parseSlice(const uint8_t* nal, size_t n) const {
    std::vector<uint8_t> rbsp;
    std::optional<SliceInfo> opened = openSlice(nal, n, n, rbsp);
    if (!opened) return std::nullopt;
    SliceInfo s = *opened;
    const auto* h = &s.nal;
    BitReader br(rbsp);
    if (codec_ == VideoCodec::H264) {
        s.address = br.ue();
        s.firstInPicture = s.address == 0;
        br.ue();  // slice_type
        s.ppsId = br.ue();
        auto p = pps_.find(s.ppsId);
        const Sps* sps = spsFor(s.ppsId);
        if (!sps || !br.ok()) return std::nullopt;
        if (sps->separateColourPlane) br.skip(2);
        s.frameNum = br.u(int(sps->log2MaxFrameNum));
        if (!sps->frameMbsOnly) {
            s.fieldPic = br.flag();
            if (s.fieldPic) s.bottomField = br.flag();
        }
        if (h->type == 5) br.ue();  // idr_pic_id
        if (sps->pocType == 0) {
            s.pocLsb = br.u(int(sps->log2MaxPocLsb));
            if (p->second.bottomFieldPicOrderPresent && !s.fieldPic) s.deltaPocBottom = br.se();
        } else if (sps->pocType == 1 && !sps->deltaPicOrderAlwaysZero) {
            s.deltaPoc[0] = br.se();
            if (p->second.bottomFieldPicOrderPresent && !s.fieldPic) s.deltaPoc[1] = br.se();
        }
        if (!br.ok()) return std::nullopt;
        return s;
    }
    s.firstInPicture = br.flag();
    if (h->type >= 16 && h->type <= 23) br.skip(1);
    s.ppsId = br.ue();
    auto p = pps_.find(s.ppsId);
    const Sps* sps = spsFor(s.ppsId);
    if (!sps || !br.ok()) return std::nullopt;
    bool dependent = false;
    if (!s.firstInPicture) {
        if (p->second.dependentSlicesEnabled) dependent = br.flag();
        s.address = br.u(int(ceilLog2(sps->picSizeInCtbs())));
    }
    if (!dependent) {
        br.skip(p->second.extraSliceHeaderBits);
        br.ue();  // slice_type
        if (p->second.outputFlagPresent) br.skip(1);
        if (sps->separateColourPlane) br.skip(2);
        if (h->type != 19 && h->type != 20) s.pocLsb = br.u(int(sps->log2MaxPocLsb));
    }
    if (!br.ok()) return std::nullopt;
    return s;
}

}  // namespace tv
