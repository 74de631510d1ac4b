// Decodes a few H.264 access units in-process (libavcodec) under candidate
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
#include <vector>

namespace tv {

struct ProbeResult {
    bool clean = false;      // every unit decoded, no error reported
    size_t frames = 0;       // pictures the decoder returned
    uint64_t hash = 0;       // over the returned pictures' samples
    PictureMeasure measure;  // over every picture returned, when asked for
};

// avcC: the decoder configuration record (the avcC box payload);
// samples: length-prefixed access units (4-byte lengths) in decode order;
// measure: fill `measure` (a pass over every picture's luma, loop filter off).
ProbeResult probeH264(const std::vector<uint8_t>& avcC, const std::vector<std::vector<uint8_t>>& samples,
                      bool measure = false);

}  // namespace tv
