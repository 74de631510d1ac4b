// Decoder configuration records built from parameter sets: avcC (ISO/IEC
// 14496-15 5.3.3.1) and hvcC (8.3.3.1), for streams that carry their own sets
// and for sets rebuilt by the search.
//
// Thread: any. Errors: std::nullopt when the bytes do not parse.
#pragma once

#include "codec/video_codec.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tv {

// What a sample entry needs to know about a sequence parameter set.
struct SpsSummary {
    uint32_t profile = 0, compatibility = 0, level = 0;  // H.264 bytes 1..3
    uint32_t chromaFormat = 1, bitDepthLuma = 8, bitDepthChroma = 8;
    uint32_t width = 0, height = 0;  // after cropping
    // H.265 only.
    std::vector<uint8_t> profileTierLevel;  // the 12 general bytes
    uint32_t maxSubLayers = 1;
    bool temporalIdNesting = false;
};

// Parses an SPS NAL unit (header included, emulation prevention in place).
std::optional<SpsSummary> summarizeSps(VideoCodec codec, const std::vector<uint8_t>& nal);

// The whole avcC / hvcC box for the given parameter sets (any order);
// nullopt when an SPS (or for H.265 a VPS) or PPS is missing or unreadable.
std::optional<std::vector<uint8_t>> buildCodecConfig(VideoCodec codec,
                                                     const std::vector<std::vector<uint8_t>>& nals,
                                                     SpsSummary* summary = nullptr);

}  // namespace tv
