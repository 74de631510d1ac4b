// Decodes a few H.264 or H.265 access units in-process (libavcodec) under candidate
// parameter sets, to tell a right candidate from a wrong one: a wrong field
// makes the decoder report an error sooner or later, and decoding stops at
// the first.
//
// Thread: any; the FFmpeg log callback is process-wide and counts errors
// per thread. Errors: none thrown; a decoder that cannot be set up yields
// a result that is not clean.
#pragma once

#include "noref/picture_measure.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tv {

struct ProbeResult {
    bool clean = false;      // every unit decoded, no error reported
    size_t frames = 0;       // pictures the decoder returned
    size_t accepted = 0;     // pictures (in decode order) taken without an error
    uint64_t hash = 0;       // over the returned pictures' samples
    PictureMeasure measure;  // over every picture returned, when asked for
};

// avcC: the decoder configuration record (the avcC box payload);
// samples: length-prefixed access units (4-byte lengths) in decode order;
// measure: fill `measure` (a pass over every picture's luma, loop filter off).
ProbeResult probeH264(const std::vector<uint8_t>& avcC, const std::vector<std::vector<uint8_t>>& samples,
                      bool measure = false);

// A decoded picture's luma plane, for a caller's check.
struct LumaView {
    const uint8_t* data;
    int linesize, width, height, bytesPerSample;
    uint32_t at(int x, int y) const {
        const uint8_t* p = data + ptrdiff_t(y) * linesize + ptrdiff_t(x) * bytesPerSample;
        return bytesPerSample == 2 ? uint32_t(p[0] | p[1] << 8) : p[0];
    }
};
// Called with each picture's index in `samples` and its luma, where every
// sample no slice wrote holds 1; false counts as a decoding error.
using PictureCheck = std::function<bool(size_t picture, const LumaView& luma)>;

// The same for either codec: config is the avcC or hvcC box payload.
ProbeResult probeDecode(bool hevc, const std::vector<uint8_t>& config,
                        const std::vector<std::vector<uint8_t>>& samples, bool measure = false,
                        const PictureCheck* check = nullptr);

}  // namespace tv
