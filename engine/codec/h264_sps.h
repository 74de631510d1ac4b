// The H.264 sequence parameter set (7.3.2.1.1): read once with every range
// check the engine relies on, and written back as the exact inverse
// (parse(write(s)) == s) for the sets the parameter-set search builds.
//
// What the engine accepts, everywhere: every profile, chroma format and bit
// depth the standard allows, all three picture order count types, frame and
// field (interlaced) coding. The VUI keeps its timing and bitstream
// restriction fields only (what the search writes); the other VUI fields
// are read over and not kept, and an SPS whose VUI does not parse keeps none.
//
// Thread: any. Errors: std::nullopt when the bytes do not parse.
#pragma once

#include "codec/scaling_lists.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tv {

struct H264Sps {
    uint32_t profile = 100, constraints = 0, level = 40, id = 0;
    uint32_t chromaFormat = 1, bitDepthLuma = 8, bitDepthChroma = 8;
    bool separateColourPlane = false, transformBypass = false;
    ScalingLists scaling;  // present() when seq_scaling_matrix_present_flag
    uint32_t log2MaxFrameNum = 4, pocType = 0, log2MaxPocLsb = 4;
    bool deltaPicOrderAlwaysZero = false;
    int32_t offsetForNonRefPic = 0, offsetForTopToBottom = 0;
    std::vector<int32_t> offsetForRefFrame;
    uint32_t maxRefFrames = 1;
    bool gapsAllowed = false;
    uint32_t widthMbs = 0, heightMapUnits = 0;
    bool frameMbsOnly = true, mbaff = false, direct8x8 = true;
    uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;  // in crop units, as coded
    struct Vui {
        uint32_t numUnitsInTick = 0, timeScale = 0;  // 0: no timing info
        bool fixedFrameRate = false;
        bool restriction = false;
        uint32_t reorderFrames = 0, maxDecFrameBuffering = 0;
    };
    std::optional<Vui> vui;

    // nal: the whole NAL unit, header byte included, emulation prevention in place.
    static std::optional<H264Sps> parse(const uint8_t* nal, size_t n);
    std::vector<uint8_t> write() const;

    uint32_t chromaArrayType() const { return separateColourPlane ? 0 : chromaFormat; }
    uint32_t width() const;   // luma samples after cropping
    uint32_t height() const;
    // Chroma format and bit depth, with the profile that allows them; the
    // cropped picture size is kept.
    void setFormat(uint32_t chroma, uint32_t depth);
    // Frame-coded picture size in macroblocks, the excess cropped right and bottom.
    void setFrameSize(uint32_t width, uint32_t height);
    // VUI timing for `timescale` / `duration` frames per second and the
    // decoder's reorder depth (its buffer: max_num_ref_frames as set now).
    void setTiming(uint32_t timescale, uint32_t duration, uint32_t reorder);
};

}  // namespace tv
