// Rebuilding H.264 parameter sets (SPS/PPS) that a recording does not carry,
// from its slices alone. Candidates for every field a slice header depends on
// are kept only when all slice headers of a whole GOP parse consistently
// under them; the survivors are confirmed by decoding the GOP in-process
// (libavcodec), first the key picture, then the frame size, then the P/B
// fields, stopping at a candidate's first decoding error; the bit depth and
// the scaling matrices are told by how well the blocks of the decoded
// pictures fit together. Fields no slice reveals come from a donor clip's
// SPS/PPS (same camera body) or take the camera's usual values; scaling
// matrices without a donor come from a table of real bodies' (or are flat
// where every table set rings on the stream).
//
// Thread: caller's (the decoder may use its own threads). Bounded in time.
// Errors: EngineError(ReferenceNeeded) when no candidate remains, or the
// pictures it decodes are plainly not pictures.
#pragma once

#include "base/byte_source.h"
#include "noref/layout_from_rsv.h"
#include "base/reporter.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tv {

struct RebuiltParameterSets {
    std::vector<std::vector<uint8_t>> nals;  // SPS then every PPS the slices name, NAL headers included
    std::string matrices;                    // "donor", "flat" or a table set's name ("table:<body>")
    std::string why;                         // how they were chosen, with the measures
};

// donor: a finished clip's avcC parameter sets (empty when none was given).
RebuiltParameterSets searchH264ParameterSets(const ByteSource& rsv, const RsvRecording& rec,
                                             const std::vector<std::vector<uint8_t>>& donor,
                                             Reporter& rep);

}  // namespace tv
