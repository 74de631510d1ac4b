// The parameter sets of one stream (from an avcC/hvcC configuration or
// in-band), by id, and the slice-header fields the walk and picture order
// read with them.
//
// Thread: const methods may be called from any thread once built. Errors:
// std::nullopt when bytes do not parse; nothing throws.
#pragma once

#include "codec/h264_pps.h"
#include "codec/h264_sps.h"
#include "codec/h265_sets.h"
#include "codec/nal_header.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace tv {

class ParameterSets {
public:
    // nals: parameter-set NAL units in any order (others are passed over);
    // a set that does not parse, or names a set not given, is left out.
    static ParameterSets fromConfig(VideoCodec codec, const std::vector<std::vector<uint8_t>>& nals);
    VideoCodec codec() const { return codec_; }
    bool usable() const { return !h264Pps_.empty() || !h265Pps_.empty(); }
    // The header of a slice NAL (bytes from its NAL header on), as far as
    // picture order needs it.
    std::optional<SliceInfo> parseSlice(const uint8_t* nal, size_t n) const;
    // Slice address only (no SPS/PPS needed for H.264; H.265 needs them).
    std::optional<SliceInfo> parseSliceStart(const uint8_t* nal, size_t n) const;

    const H264Sps* h264SpsFor(uint32_t ppsId) const;
    const H265Sps* h265SpsFor(uint32_t ppsId) const;

private:
    VideoCodec codec_ = VideoCodec::H264;
    std::map<uint32_t, H264Sps> h264Sps_;
    std::map<uint32_t, H264Pps> h264Pps_;
    std::map<uint32_t, H265Sps> h265Sps_;
    std::map<uint32_t, H265Pps> h265Pps_;
    std::optional<SliceInfo> parseH265(const uint8_t* nal, size_t n, bool withOrder) const;
};

}  // namespace tv
