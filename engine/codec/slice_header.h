// H.264 and H.265 slice headers (H.264 7.3.3, H.265 7.3.6.1), read once
// under the parameter sets they name, with every range check that needs no
// other slice.
//
// Thread: any. Errors: std::nullopt when the bytes do not parse.
#pragma once

#include "codec/h264_pps.h"
#include "codec/h264_sps.h"
#include "codec/h265_sets.h"
#include "codec/nal_header.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tv {

struct H264SliceHeader {
    // How far to read: up to the picture order fields (what picture order
    // needs, from the first bytes of a NAL), or the whole header with the
    // first bits of the slice data (what tells a right parameter set from a
    // wrong one: the header ends inside the NAL, and under CABAC the
    // alignment bits are ones and the decoder's first nine bits are not
    // 510 or 511).
    enum class Extent { PictureOrder, Whole };

    NalHeader nal;
    uint32_t firstMb = 0, sliceType = 0, ppsId = 0, frameNum = 0, idrPicId = 0, pocLsb = 0;
    bool fieldPic = false, bottomField = false;
    int32_t deltaPocBottom = 0, deltaPoc[2] = {0, 0};
    // Extent::Whole only.
    uint32_t numRefL0 = 0, numRefL1 = 0;
    bool overrideRefs = false;
    bool usesWeights = false;  // a pred_weight_table was read
    int32_t qpDelta = 0;       // slice_qp_delta

    // The PPS id a slice names (no parameter set needed to find it).
    static std::optional<uint32_t> ppsIdOf(const uint8_t* nal, size_t n);
    // first_mb_in_slice alone.
    static std::optional<uint32_t> firstMbOf(const uint8_t* nal, size_t n);
    static std::optional<H264SliceHeader> parse(const uint8_t* nal, size_t n, const H264Sps& sps,
                                                const H264Pps& pps, Extent extent);
    uint32_t kind() const { return sliceType % 5; }  // 0 P, 1 B, 2 I
};

struct H265SliceHeader {
    NalHeader nal;
    bool firstInPicture = true;
    uint32_t address = 0, ppsId = 0, pocLsb = 0;
    uint32_t sliceType = 2;  // 0 B, 1 P, 2 I (read only with the order count)

    // The PPS id a slice names.
    static std::optional<uint32_t> ppsIdOf(const uint8_t* nal, size_t n);
    // withOrder: read on to slice_pic_order_cnt_lsb; else stop at the address.
    static std::optional<H265SliceHeader> parse(const uint8_t* nal, size_t n, const H265Sps& sps,
                                                const H265Pps& pps, bool withOrder);
};

}  // namespace tv
