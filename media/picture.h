// Turning a decoded frame into a small upright RGB picture.
#pragma once

#include <optional>

#include "media/av_ptr.h"
#include "media/asset.h"

// The frame rotated clockwise by `rotation` degrees (0, 90, 180 or 270) and
// scaled down to fit maxSide x maxSide, never enlarged. The YUV matrix is the
// frame's own when it names one, else BT.709 for HD and larger pictures and
// BT.601 below; the range is the frame's. Absent when the frame cannot be
// converted. Any thread.
std::optional<RgbImage> uprightPicture(const AVFrame& frame, int rotation, int maxSide);

// The size that fits width x height into maxSide x maxSide, never enlarged,
// each side at least 1.
struct FitSize {
    int width;
    int height;
};
FitSize fitInside(int width, int height, int maxSide);
