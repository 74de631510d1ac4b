#include "codec/slice_header.h"

#include "base/bytes.h"

#include <algorithm>

namespace tv {
namespace {

// A slice header never comes near this length; the rest is slice data.
constexpr size_t kHeaderBytes = 1024;

uint32_t ceilLog2(uint32_t v) {
    uint32_t n = 0;
    while ((uint64_t(1) << n) < v) ++n;
    return n;
}

bool readRefListModification(BitReader& br, bool isB) {
    for (int list = 0; list < (isB ? 2 : 1); ++list) {
        if (!br.flag()) continue;
        for (int k = 0;; ++k) {
            const uint32_t idc = br.ue();
            if (idc == 3) break;
            if (idc > 5 || k > 32 || !br.ok()) return false;
            br.ue();
        }
    }
    return true;
}

bool readWeight(BitReader& br) {
    const int32_t weight = br.se(), offset = br.se();
    return weight >= -128 && weight <= 127 && offset >= -128 && offset <= 127;
}

bool readPredWeightTable(BitReader& br, const H264SliceHeader& h, uint32_t chromaArrayType) {
    if (br.ue() > 7) return false;
    if (chromaArrayType != 0 && br.ue() > 7) return false;
    for (int list = 0; list < (h.kind() == 1 ? 2 : 1); ++list) {
        const uint32_t count = list == 0 ? h.numRefL0 : h.numRefL1;
        for (uint32_t i = 0; i < count && br.ok(); ++i) {
            if (br.flag() && !readWeight(br)) return false;
            if (chromaArrayType != 0 && br.flag())
                if (!readWeight(br) || !readWeight(br)) return false;
        }
    }
    return true;
}

bool readRefPicMarking(BitReader& br, bool idr) {
    if (idr) {
        br.skip(2);
        return true;
    }
    if (!br.flag()) return true;
    for (int k = 0;; ++k) {
        const uint32_t op = br.ue();
        if (op == 0) return true;
        if (op > 6 || k > 64 || !br.ok()) return false;
        if (op == 1 || op == 3) br.ue();
        if (op == 2) br.ue();
        if (op == 3 || op == 6) br.ue();
        if (op == 4) br.ue();
    }
}

// From num_ref_idx_active_override_flag to the end of the header and the
// first bits of slice data.
bool readRest(BitReader& br, H264SliceHeader& h, const H264Sps& sps, const H264Pps& pps) {
    const bool isP = h.kind() == 0, isB = h.kind() == 1, idr = h.nal.type == 5;
    if (isB) br.skip(1);  // direct_spatial_mv_pred_flag
    if (isP || isB) {
        h.overrideRefs = br.flag();
        if (h.overrideRefs) {
            h.numRefL0 = br.ue() + 1;
            if (isB) h.numRefL1 = br.ue() + 1;
        }
        if (h.numRefL0 > 32 || h.numRefL1 > 32 || !readRefListModification(br, isB)) return false;
    }
    if ((pps.weightedPred && isP) || (pps.bipredIdc == 1 && isB)) {
        h.usesWeights = true;
        if (!readPredWeightTable(br, h, sps.chromaArrayType())) return false;
    }
    if (h.nal.refIdc != 0 && !readRefPicMarking(br, idr)) return false;
    if (pps.cabac && !(h.kind() == 2) && br.ue() > 2) return false;
    h.qpDelta = br.se();
    if (h.qpDelta < -87 || h.qpDelta > 77) return false;
    if (pps.deblockingControl) {
        const uint32_t disable = br.ue();
        if (disable > 2) return false;
        if (disable != 1) {
            const int32_t a = br.se(), b = br.se();
            if (a < -6 || a > 6 || b < -6 || b > 6) return false;
        }
    }
    if (!br.ok()) return false;
    if (!pps.cabac) return (br.u(1), br.ok());  // slice data: at least one more bit
    while (br.position() % 8 != 0)
        if (!br.flag()) return false;
    const uint32_t first9 = br.u(9);
    return br.ok() && first9 < 510;
}

}  // namespace

std::optional<uint32_t> H264SliceHeader::ppsIdOf(const uint8_t* nal, size_t n) {
    if (n < 2) return std::nullopt;
    const auto rbsp = unescapeRbsp(nal + 1, std::min<size_t>(n - 1, 32));
    BitReader br(rbsp);
    br.ue();
    br.ue();
    const uint32_t id = br.ue();
    if (!br.ok() || id > 255) return std::nullopt;
    return id;
}

std::optional<uint32_t> H264SliceHeader::firstMbOf(const uint8_t* nal, size_t n) {
    if (n < 2) return std::nullopt;
    const auto rbsp = unescapeRbsp(nal + 1, std::min<size_t>(n - 1, 16));
    BitReader br(rbsp);
    const uint32_t mb = br.ue();
    if (!br.ok()) return std::nullopt;
    return mb;
}

std::optional<H264SliceHeader> H264SliceHeader::parse(const uint8_t* nal, size_t n, const H264Sps& sps,
                                                      const H264Pps& pps, Extent extent) {
    auto nh = parseNalHeader(VideoCodec::H264, nal, n);
    if (n < 2 || !nh || !isSlice(VideoCodec::H264, nh->type)) return std::nullopt;
    H264SliceHeader h;
    h.nal = *nh;
    const auto rbsp = unescapeRbsp(nal + 1, std::min(n - 1, kHeaderBytes));
    BitReader br(rbsp);
    h.firstMb = br.ue();
    h.sliceType = br.ue();
    const bool idr = h.nal.type == 5;
    // SP/SI slices are not written by cameras; an IDR picture is intra.
    if (h.sliceType > 9 || h.kind() > 2 || (idr && h.kind() != 2)) return std::nullopt;
    h.ppsId = br.ue();
    if (h.ppsId != pps.id || pps.spsId != sps.id) return std::nullopt;
    if (sps.separateColourPlane) br.skip(2);
    h.frameNum = br.u(int(sps.log2MaxFrameNum));
    if (!sps.frameMbsOnly) {
        h.fieldPic = br.flag();
        if (h.fieldPic) h.bottomField = br.flag();
    }
    if (idr) h.idrPicId = br.ue();
    if ((idr && h.frameNum != 0) || h.idrPicId > 65535) return std::nullopt;
    if (sps.pocType == 0) {
        h.pocLsb = br.u(int(sps.log2MaxPocLsb));
        if (pps.bottomFieldPicOrderPresent && !h.fieldPic) h.deltaPocBottom = br.se();
    } else if (sps.pocType == 1 && !sps.deltaPicOrderAlwaysZero) {
        h.deltaPoc[0] = br.se();
        if (pps.bottomFieldPicOrderPresent && !h.fieldPic) h.deltaPoc[1] = br.se();
    }
    if (!br.ok()) return std::nullopt;
    if (extent == Extent::PictureOrder) return h;
    if (pps.redundantPicCnt && br.ue() > 127) return std::nullopt;
    h.numRefL0 = pps.numRefL0;
    h.numRefL1 = pps.numRefL1;
    if (!readRest(br, h, sps, pps)) return std::nullopt;
    return h;
}

std::optional<uint32_t> H265SliceHeader::ppsIdOf(const uint8_t* nal, size_t n) {
    auto nh = parseNalHeader(VideoCodec::H265, nal, n);
    if (!nh || !isSlice(VideoCodec::H265, nh->type) || n < 3) return std::nullopt;
    const auto rbsp = unescapeRbsp(nal + 2, std::min<size_t>(n - 2, 16));
    BitReader br(rbsp);
    br.skip(1);
    if (nh->type >= 16 && nh->type <= 23) br.skip(1);
    const uint32_t id = br.ue();
    if (!br.ok() || id > 63) return std::nullopt;
    return id;
}

std::optional<H265SliceHeader> H265SliceHeader::parse(const uint8_t* nal, size_t n, const H265Sps& sps,
                                                      const H265Pps& pps, bool withOrder) {
    auto nh = parseNalHeader(VideoCodec::H265, nal, n);
    if (n < 3 || !nh || !isSlice(VideoCodec::H265, nh->type)) return std::nullopt;
    H265SliceHeader s;
    s.nal = *nh;
    const auto rbsp = unescapeRbsp(nal + 2, std::min(n - 2, withOrder ? kHeaderBytes : size_t(46)));
    BitReader br(rbsp);
    s.firstInPicture = br.flag();
    const int type = s.nal.type;
    if (type >= 16 && type <= 23) br.skip(1);  // no_output_of_prior_pics_flag
    s.ppsId = br.ue();
    if (s.ppsId != pps.id || pps.spsId != sps.id) return std::nullopt;
    bool dependent = false;
    if (!s.firstInPicture) {
        if (pps.dependentSlicesEnabled) dependent = br.flag();
        s.address = br.u(int(ceilLog2(sps.picSizeInCtbs())));
    }
    if (withOrder && !dependent) {
        br.skip(pps.extraSliceHeaderBits);
        s.sliceType = br.ue();
        if (pps.outputFlagPresent) br.skip(1);
        if (sps.separateColourPlane) br.skip(2);
        if (type != 19 && type != 20) s.pocLsb = br.u(int(sps.log2MaxPocLsb));
    }
    if (!br.ok()) return std::nullopt;
    return s;
}

}  // namespace tv

