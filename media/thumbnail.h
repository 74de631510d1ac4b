// Single frames of a video as JPEG data URLs.
#pragma once

#include <optional>
#include <string>

#include "media/asset.h"

// The frame of `asset` at `at` seconds (see frameAt), fitted into 640 x 640,
// as "data:image/jpeg;base64,..." on one line. Absent on any failure.
// Blocks while decoding; any thread but main.
std::optional<std::string> thumbnailDataURL(MediaAsset& asset, double at);
