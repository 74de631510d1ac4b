// Scaling matrices of real camera bodies, for recordings whose parameter
// sets are lost and no donor clip lends its own: a body's matrices sit far
// closer to another body's than to flat ones, so a picture decoded under a
// near set is far closer to the original.
//
// Thread: any (constant data). Errors: none.
#pragma once

#include "codec/scaling_lists.h"

#include <string>
#include <vector>

namespace tv {

struct MatrixSet {
    std::string name;      // as printed: "table:<body>"
    ScalingLists lists;    // lists 0-7 (4x4 intra Y/Cb/Cr, inter Y/Cb/Cr, 8x8 intra, inter)
};

// The sets of the table, in order of preference (the first is the default
// where pictures cannot tell the sets apart).
const std::vector<MatrixSet>& matrixTable();

}  // namespace tv
