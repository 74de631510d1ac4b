// One candidate set of H.264 parameters (the SPS/PPS fields a camera varies),
// written out as SPS/PPS NAL units, read back from a donor's SPS/PPS, and
// used to parse slice headers in full (H.264 7.3.3) for the consistency
// filter of the parameter-set search.
//
// Thread: any. Errors: std::nullopt when bytes do not parse; nothing throws.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace tv {

struct ScalingLists {
    // Per list (6 x 4x4, then 8x8 lists): absent, or the coded delta_scale
    // values as they stand in the bitstream.
    std::vector<std::optional<std::vector<int32_t>>> lists;
    bool present() const { return !lists.empty(); }
};

struct H264Params {
    // SPS
    uint32_t profile = 100, level = 40;
    uint32_t spsId = 0, chroma = 1, bitDepth = 8;
    uint32_t log2MaxFrameNum = 4, pocType = 0, log2MaxPocLsb = 4;
    uint32_t maxRefFrames = 1;
    uint32_t widthMbs = 0, heightMbs = 0;
    uint32_t cropRight = 0, cropBottom = 0;  // luma samples
    uint32_t timescale = 0, frameDuration = 0;  // VUI timing, 0 = none
    uint32_t reorderFrames = 0;
    ScalingLists spsScaling;
    // PPS
    uint32_t ppsId = 0;
    bool cabac = true;
    uint32_t numRefL0 = 1, numRefL1 = 1;
    bool weightedPred = false;
    uint32_t bipredIdc = 0;
    int32_t picInitQp = 26, chromaQpOffset = 0, secondChromaQpOffset = 0;
    bool deblockingControl = true, constrainedIntra = false, transform8x8 = false;
    ScalingLists ppsScaling;

    // Chroma format and bit depth, with the profile that allows them.
    void setFormat(uint32_t chromaFormat, uint32_t depth) {
        chroma = chromaFormat;
        bitDepth = depth;
        profile = chroma == 2 ? 122 : (depth > 8 ? 110 : 100);
    }
    // Picture size in macroblocks, the excess cropped right and bottom.
    void setFrameSize(uint32_t width, uint32_t height) {
        widthMbs = (width + 15) / 16;
        heightMbs = (height + 15) / 16;
        cropRight = widthMbs * 16 - width;
        cropBottom = heightMbs * 16 - height;
    }
    std::vector<uint8_t> spsNal() const;
    std::vector<uint8_t> ppsNal() const;
};

class BitReader;
// Reads `count` scaling_list() entries, each preceded by its present flag
// (H.264 7.3.2.1.1.1). False on a delta out of range or a short read.
bool readScalingLists(BitReader& br, int count, ScalingLists& s);

// Reads the fields above from SPS and PPS NAL units (headers included).
std::optional<H264Params> readH264Params(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps);

struct SliceHeader {
    uint32_t firstMb = 0, sliceType = 0, ppsId = 0, frameNum = 0, idrPicId = 0, pocLsb = 0;
    int nalType = 0, refIdc = 0;
    uint32_t numRefL0 = 0, numRefL1 = 0;
    bool overrideRefs = false;
    int32_t qpDelta = 0;  // slice_qp_delta
    bool usesWeights = false;  // a pred_weight_table was read
};

// Parses a slice header (NAL bytes from the header byte on) under `p`, with
// every consistency check that needs no other slice: ranges of each field,
// the header ending inside the NAL, and for CABAC the alignment bits and the
// first nine bits of slice data (never 510 or 511).
std::optional<SliceHeader> parseSliceHeader(const uint8_t* nal, size_t n, const H264Params& p);

}  // namespace tv
