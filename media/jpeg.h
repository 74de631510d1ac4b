// JPEG encoding of RGB pictures (libjpeg-turbo).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "media/asset.h"

// Baseline JPEG, 4:2:0 chroma, at `quality` (1..100). Absent when the
// picture is empty or the encoder fails. Any thread.
std::optional<std::vector<uint8_t>> encodeJpeg(const RgbImage& image, int quality);
