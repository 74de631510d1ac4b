// Parameter sets carried in the stream itself (in-band) and the decoder
// configuration records built from them: avcC (ISO/IEC 14496-15 5.3.3.1) and
// hvcC (8.3.3.1). Some bodies repeat SPS/PPS (and VPS) in their key frames;
// then the recording describes itself and no reference is needed.
//
// Thread: any. Errors: std::nullopt / empty results when the bytes do not
// parse; I/O errors propagate from the source as EngineError(Io).
#pragma once

#include "byte_source.h"
#include "reference.h"
#include "one_group.h"

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

// The parameter-set NAL units found in the given pictures (headers included),
// each distinct unit once, in stream order; empty when the stream has none.
std::vector<std::vector<uint8_t>> inbandParameterSets(const ByteSource& src, VideoCodec codec,
                                                      int nalLengthSize,
                                                      const std::vector<FrameInfo>& frames);

// The whole avcC / hvcC box for the given parameter sets (any order);
// nullopt when an SPS (or for H.265 a VPS) or PPS is missing or unreadable.
std::optional<std::vector<uint8_t>> buildCodecConfig(VideoCodec codec,
                                                     const std::vector<std::vector<uint8_t>>& nals,
                                                     SpsSummary* summary = nullptr);

}  // namespace tv
