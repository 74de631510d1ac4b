// Rebuilding H.265 parameter sets (VPS/SPS/PPS) that a recording does not
// carry, from its slices alone. The key picture's slice headers narrow the
// fields they depend on and the picture geometry (hevc_survey.h); the
// survivors are confirmed by decoding in-process (libavcodec): the key
// picture over the initial QP and the coding block sizes, then the whole
// first GOP, changing one field at a time (picture format, initial QP, sign
// hiding, QP deltas, transform sizes and depths, inter tools, reference
// counts, picture order length) towards more pictures decoded before the
// first error, until every picture decodes cleanly. Fields no decode tells
// apart (scaling lists, strong intra smoothing, the parallel merge level,
// chroma QP offsets) take the usual camera values.
//
// Thread: caller's (the decoder may use its own threads). Bounded in time.
// Errors: EngineError(ReferenceNeeded) when nothing fits, the bound runs
// out, or the pictures decoded are plainly not pictures.
#pragma once

#include "base/byte_source.h"
#include "base/reporter.h"
#include "codec/h265_writer.h"
#include "noref/layout_from_rsv.h"
#include "noref/param_search.h"

#include <cstdint>
#include <vector>

namespace tv {

// Candidate sets read from the key picture at `firstAud`; parameter sets
// good enough to walk the recording (slice addresses) are
// candidates.front()'s. Progress 0..10 of the search.
std::vector<H265Params> hevcKeyCandidates(const ByteSource& rsv, int64_t firstAud, Reporter& rep);

RebuiltParameterSets searchH265ParameterSets(const ByteSource& rsv, const RsvRecording& rec,
                                             const std::vector<H265Params>& candidates, Reporter& rep);

// The sets of one candidate: VPS, SPS and a PPS under every id in ppsIds.
std::vector<std::vector<uint8_t>> h265Nals(const H265Params& p, const std::vector<uint32_t>& ppsIds);

}  // namespace tv
