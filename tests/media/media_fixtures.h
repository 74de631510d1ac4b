// Test media made at test time with the ffmpeg CLI, and a reader for the
// data URLs the thumbnails come back as.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/scratch.h"

// Runs `ffmpeg -y -loglevel error <args> <out>`; false when it failed.
bool ffmpeg(const std::string& args, const std::string& out);

// Runs a shell command quietly; true on exit status 0.
bool shell(const std::string& command);

// The helper scripts that sit beside the tests.
std::string scriptPath(const std::string& name);

// A short test-pattern clip: `seconds` long at `rate`, WxH, H.264 4:2:0,
// a keyframe every 10 frames, plus `extraOutput` options.
bool makeClip(const std::string& out, const std::string& size, const std::string& rate = "25", double seconds = 1.0,
              const std::string& extraOutput = "");

// A copy of `in` whose video track is shown turned by `degrees` (the
// container's display matrix; the pictures are not re-encoded).
bool rotated(const std::string& in, int degrees, const std::string& out);
// Encodes dir/name with `args`, turned by `degrees` (0: as encoded).
bool encodeRotated(const Scratch& dir, const std::string& name, const std::string& args, int degrees);

struct DecodedJpeg {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// The JPEG behind a "data:image/jpeg;base64," URL, decoded to RGB; absent when
// the URL is not of that form or the JPEG does not decode.
std::optional<DecodedJpeg> decodeDataUrl(const std::string& url);

// The frame the ffmpeg CLI extracts at `at` (seek before input), scaled to
// WxH as RGB24 with the given scale filter options; empty on failure.
std::vector<uint8_t> cliFrame(const std::string& file, double at, int width, int height,
                              const std::string& scaleOptions);

// How far apart two RGB24 pictures of width x height look: the mean absolute
// difference of their 8x8 block averages, so that JPEG ringing averages out
// while a shifted picture or shifted colours do not. Huge when sizes differ.
double pictureDistance(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width, int height);
