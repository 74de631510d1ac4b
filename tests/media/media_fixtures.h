// Test media made at test time with the ffmpeg CLI, and a reader for the
// data URLs the thumbnails come back as.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/scratch.h"

// Runs a shell command quietly; true on exit status 0.
bool shell(const std::string& command);
// Runs `ffmpeg -y -loglevel error <args> <out>`; false when it failed.
bool ffmpeg(const std::string& args, const std::string& out);
// Runs tests/media/mp4_edit.py with these (shell-quoted) arguments.
bool mp4Edit(const std::string& args);

// H.264 4:2:0 with a keyframe every 10 frames; 10-bit HEVC.
extern const std::string kAvc, kHevc10;
// The ffmpeg input and output arguments of a test-pattern clip: WxH at `rate`, `seconds` long, encoded with `codec`.
std::string pattern(const std::string& size, double seconds, const std::string& codec = kAvc,
                    const std::string& rate = "25");
// Encodes dir/name with `args`, shown turned by `degrees` (the container's
// display matrix; the pictures are not re-encoded). Returns the path, empty on failure.
std::string encode(const Scratch& dir, const std::string& name, const std::string& args, int degrees = 0);

struct DecodedJpeg {
    int width = 0, height = 0;
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
