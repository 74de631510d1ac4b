// Scaling matrices of real camera bodies, for recordings whose parameter
// sets are lost and no donor clip lends its own: a body's matrices sit far
// closer to another body's than to flat ones, so a picture decoded under a
// near set is far closer to the original.
//
// Thread: any (constant data). Errors: none.
#pragma once

#include "codec/scaling_lists.h"
#include "noref/slice_survey.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tv {

struct MatrixSet {
    std::string name;    // as printed: "table:<body>"
    ScalingLists lists;  // lists 0-7 (4x4 intra Y/Cb/Cr, inter Y/Cb/Cr, 8x8 intra, inter)
    // A body that writes several PPS: each of its ids with its own lists and
    // chroma QP offset. Such a set fits only slices that name its ids alone.
    std::map<uint32_t, ScalingLists> byPpsId;
    int32_t chromaQpOffset = 0;

    // ids: every PPS id the slices name.
    bool fits(const std::vector<uint32_t>& ids) const;
    // The matrices (and a body's own chroma offsets) under every id c writes.
    void applyTo(H264Candidate& c) const;
};

// The sets of the table, in order of preference: a body recognised by its
// PPS ids first, then the sets for any stream (the first of them is the
// default where pictures cannot tell the sets apart).
const std::vector<MatrixSet>& matrixTable();

// The standard's default lists (H.264 Tables 7-3 and 7-4), which a flag
// selects without listing values: "table:standard-default".
const MatrixSet& standardDefaultSet();

}  // namespace tv
