#include "noref/matrix_table.h"

#include <cstdint>

namespace tv {
namespace {

using List = std::vector<uint8_t>;

// Six 4x4 lists (intra Y/Cb/Cr alike, inter alike) and the two 8x8 ones.
ScalingLists body(const List& intra4, const List& inter4, const List& intra8, const List& inter8) {
    return ScalingLists::fromValues({intra4, intra4, intra4, inter4, inter4, inter4, intra8, inter8});
}

}  // namespace

bool MatrixSet::fits(const std::vector<uint32_t>& ids) const {
    if (byPpsId.empty()) return true;
    for (uint32_t id : ids)
        if (!byPpsId.count(id)) return false;
    return !ids.empty();
}

void MatrixSet::applyTo(H264Candidate& c) const {
    c.pps.scaling = byPpsId.count(c.pps.id) ? byPpsId.at(c.pps.id) : lists;
    for (const auto& [id, own] : byPpsId) {
        H264Pps p = c.pps;
        p.id = id;
        p.scaling = own;
        p.chromaQpOffset = p.secondChromaQpOffset = chromaQpOffset;
        c.lentPps[id] = p;
    }
}

const std::vector<MatrixSet>& matrixTable() {
    // A newer long-GOP 50p body (1080p, High profile) writes two PPS, ids 2
    // and 3, with these lists (zig-zag order) and chroma QP offsets 1. Its
    // first set decoded an older I/P body's recording, whose own lists are
    // not known, close to the original.
    static const ScalingLists pps2 = body(
        {12, 14, 14, 16, 14, 16, 22, 22, 22, 22, 24, 24, 24, 30, 30, 34},
        {12, 14, 14, 16, 16, 16, 18, 16, 16, 18, 19, 18, 19, 20, 20, 21},
        {12, 13, 13, 14, 13, 14, 15, 14, 14, 15, 16, 18, 15, 18, 16, 19, 21, 20, 20, 21, 19, 20,
         22, 25, 24, 25, 22, 20, 27, 23, 25, 25, 25, 25, 23, 27, 30, 25, 27, 26, 27, 25, 30, 33,
         27, 27, 27, 27, 33, 36, 30, 29, 30, 36, 39, 33, 33, 39, 40, 36, 40, 41, 41, 42},
        {12, 13, 13, 14, 14, 14, 15, 15, 15, 15, 16, 16, 16, 16, 16, 17, 17, 17, 17, 17, 17, 18,
         17, 17, 18, 17, 17, 18, 22, 18, 18, 18, 18, 18, 18, 22, 22, 18, 18, 18, 18, 18, 22, 22,
         19, 19, 19, 19, 22, 23, 20, 20, 20, 23, 24, 21, 21, 24, 25, 22, 25, 26, 26, 27});
    static const ScalingLists pps3 = body(
        {12, 16, 16, 18, 16, 18, 24, 28, 28, 24, 30, 30, 30, 36, 36, 40},
        {12, 16, 16, 18, 18, 18, 20, 20, 20, 20, 22, 22, 22, 24, 24, 26},
        {12, 14, 14, 16, 15, 16, 17, 16, 16, 17, 18, 20, 17, 20, 18, 21, 23, 22, 22, 23, 21, 24,
         25, 28, 26, 28, 25, 24, 31, 27, 29, 28, 28, 29, 27, 31, 35, 30, 31, 30, 31, 30, 35, 39,
         33, 33, 33, 33, 39, 43, 36, 35, 36, 43, 46, 38, 38, 46, 47, 40, 47, 48, 48, 49},
        {12, 14, 14, 16, 16, 16, 17, 17, 17, 17, 18, 18, 18, 18, 18, 19, 19, 19, 19, 19, 19, 20,
         20, 20, 20, 20, 20, 20, 26, 21, 21, 21, 21, 21, 21, 26, 27, 22, 22, 22, 22, 22, 27, 28,
         23, 23, 23, 23, 28, 30, 24, 24, 24, 30, 31, 25, 25, 31, 32, 26, 32, 33, 33, 34});
    static const std::vector<MatrixSet> table = {
        {"table:newer-lgop", pps2, {{2, pps2}, {3, pps3}}, 1},
        {"table:newer-lgop-pps2", pps2, {}, 0},
        {"table:newer-lgop-pps3", pps3, {}, 0},
    };
    return table;
}

const MatrixSet& standardDefaultSet() {
    static const MatrixSet set{"table:standard-default", ScalingLists::fromValues(ScalingLists::defaultValues()), {}, 0};
    return set;
}

}  // namespace tv
