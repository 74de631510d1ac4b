// The H.265 sequence and picture parameter set fields the engine reads
// (7.3.2.2, 7.3.2.3): the picture format and size, the coding tree block
// size and the slice-header fields that depend on them, with the range
// checks done once. Read only: H.265 sets are never rebuilt.
//
// Thread: any. Errors: std::nullopt when the bytes do not parse or a PPS
// names an SPS that is not given.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace tv {

struct H265Sps {
    uint32_t id = 0, maxSubLayers = 1;
    bool temporalIdNesting = false;
    std::vector<uint8_t> profileTierLevel;  // the 12 general bytes
    uint32_t chromaFormat = 1, bitDepthLuma = 8, bitDepthChroma = 8;
    bool separateColourPlane = false;
    uint32_t widthLuma = 0, heightLuma = 0;  // coded
    uint32_t width = 0, height = 0;          // after the conformance window
    uint32_t log2MaxPocLsb = 4, log2CtbSize = 4;

    static std::optional<H265Sps> parse(const uint8_t* nal, size_t n);
    uint32_t profile() const { return profileTierLevel[0] & 31; }
    uint32_t level() const { return profileTierLevel[11]; }
    uint32_t picSizeInCtbs() const;
};

struct H265Pps {
    uint32_t id = 0, spsId = 0;
    bool dependentSlicesEnabled = false, outputFlagPresent = false;
    uint32_t extraSliceHeaderBits = 0;

    static std::optional<H265Pps> parse(const uint8_t* nal, size_t n, const std::map<uint32_t, H265Sps>& sps);
};

}  // namespace tv
