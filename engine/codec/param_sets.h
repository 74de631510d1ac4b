// The SPS and PPS fields that slice headers are read with, taken from the
// parameter sets of an avcC/hvcC configuration, and the slice-header parser.
//
// Thread: const methods may be called from any thread once built. Errors:
// std::nullopt when bytes do not parse; nothing throws.
#pragma once

#include "codec/nal_header.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace tv {

// The SPS/PPS fields needed for slice headers, from avcC/hvcC parameter sets.
class ParameterSets {
public:
    static ParameterSets fromConfig(VideoCodec codec, const std::vector<std::vector<uint8_t>>& nals);
    VideoCodec codec() const { return codec_; }
    bool usable() const { return !pps_.empty(); }
    // Parses the header of a slice NAL (bytes from its NAL header on).
    std::optional<SliceInfo> parseSlice(const uint8_t* nal, size_t n) const;
    // Slice address only (no SPS/PPS needed for H.264; H.265 needs them).
    std::optional<SliceInfo> parseSliceStart(const uint8_t* nal, size_t n) const;

    struct Sps {
        // H.264
        uint32_t log2MaxFrameNum = 4, pocType = 0, log2MaxPocLsb = 4;
        bool deltaPicOrderAlwaysZero = false, frameMbsOnly = true, separateColourPlane = false;
        int32_t offsetForNonRefPic = 0, offsetForTopToBottom = 0;
        std::vector<int32_t> offsetForRefFrame;
        // H.265
        uint32_t log2CtbSize = 4, widthLuma = 0, heightLuma = 0;
        uint32_t picSizeInCtbs() const;
    };
    struct Pps {
        uint32_t spsId = 0;
        bool bottomFieldPicOrderPresent = false;  // H.264
        bool dependentSlicesEnabled = false, outputFlagPresent = false;  // H.265
        uint32_t extraSliceHeaderBits = 0;
    };
    const Sps* spsFor(uint32_t ppsId) const;

private:
    VideoCodec codec_ = VideoCodec::H264;
    std::map<uint32_t, Sps> sps_;
    std::map<uint32_t, Pps> pps_;
    void addH264(const std::vector<uint8_t>& rbsp, int type);
    void addH265(const std::vector<uint8_t>& rbsp, int type);
    // A slice NAL's header fields and the RBSP of its first `limit` bytes;
    // nothing when the NAL is not a slice.
    std::optional<SliceInfo> openSlice(const uint8_t* nal, size_t n, size_t limit,
                                       std::vector<uint8_t>& rbsp) const;
};

}  // namespace tv
