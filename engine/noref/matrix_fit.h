// Scaling matrices fitted to a recording whose own are lost, for bodies that
// no table holds: a small family of camera-like shapes (a value at DC, a
// slope towards the high frequencies) searched coarse to fine by the drift
// that wrong matrices leave.
//
// The measure: a P picture adds its residual to the pictures before it.
// Under wrong matrices every residual is scaled wrongly and the error piles
// up over the GOP, while the next key picture starts afresh, so the step
// from the GOP's last picture to the next key picture stands out against the
// steps between the GOP's own pictures. Too steep or too flat, too high or
// too low at DC: either way the step grows, and it is least at the right
// matrices. (How well blocks fit together is not such a measure: smaller
// residuals fit their smooth predictions better and steeper ones add detail
// inside blocks, so it prefers low DC values and steep slopes whatever the
// truth.)
//
// Thread: caller's. Errors: none thrown; std::nullopt where nothing can be
// measured.
#pragma once

#include "base/byte_source.h"
#include "codec/scaling_lists.h"
#include "noref/layout_from_rsv.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tv {

// intra 4x4 (u, v): dc + slope (u + v) + slope/2 u v; the inter lists half
// as steep, the 8x8 lists the same per unit of frequency.
struct MatrixShape {
    int dc = 16;
    double slope = 0;
    ScalingLists lists() const;
    std::string describe() const;  // "DC 16, slope 6"
    bool operator==(const MatrixShape& o) const { return dc == o.dc && slope == o.slope; }
};

// The recording's pictures from its first IDR picture through the next one
// (length-prefixed samples, decode order); empty when no second IDR picture
// lies within the bounds (pictures, bytes) a search may read.
std::vector<std::vector<uint8_t>> readThroughNextKey(const ByteSource& rsv, const RsvRecording& rec);

// The step to the last sample's picture (the next key picture) against the
// mean step between the others (mean squared luma differences of pictures in
// output order, loop filter on): about 1 when the key picture continues the
// GOP, more the further the GOP drifted. std::nullopt when a picture fails
// to decode.
std::optional<double> keyPictureStep(const std::vector<uint8_t>& avcC, const std::vector<std::vector<uint8_t>>& samples);

// Coarse to fine from `start`: the shape of least `step` (std::nullopt: a
// shape that does not decode), at most `budget` evaluations. Returns the
// shape and its step.
struct FittedShape {
    MatrixShape shape;
    double step = 0;
    size_t evaluations = 0;
};
std::optional<FittedShape> fitShape(const std::function<std::optional<double>(const MatrixShape&)>& step,
                                    MatrixShape start, size_t budget);

}  // namespace tv
