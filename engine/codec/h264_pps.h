// The H.264 picture parameter set (7.3.2.2): read once with its range
// checks, written back as the exact inverse. Slice groups (FMO, Baseline
// only, never written by a camera) are refused.
//
// Thread: any. Errors: std::nullopt when the bytes do not parse or name an
// SPS that is not given.
#pragma once

#include "codec/h264_sps.h"
#include "codec/scaling_lists.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace tv {

struct H264Pps {
    uint32_t id = 0, spsId = 0;
    bool cabac = true, bottomFieldPicOrderPresent = false;
    uint32_t numRefL0 = 1, numRefL1 = 1;  // num_ref_idx_default_active
    bool weightedPred = false;
    uint32_t bipredIdc = 0;
    int32_t picInitQp = 26, picInitQs = 26, chromaQpOffset = 0, secondChromaQpOffset = 0;
    bool deblockingControl = true, constrainedIntra = false, redundantPicCnt = false;
    bool transform8x8 = false;
    ScalingLists scaling;  // present() when pic_scaling_matrix_present_flag

    // nal: the whole NAL unit; sps: the sets it may name (by id).
    static std::optional<H264Pps> parse(const uint8_t* nal, size_t n, const std::map<uint32_t, H264Sps>& sps);
    // chromaFormat: of the SPS it names (the count of 8x8 lists follows it).
    std::vector<uint8_t> write(uint32_t chromaFormat) const;
};

}  // namespace tv
