// An opened media file that gives single decoded frames.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A picture as packed 8-bit RGB, rows without padding.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // width * height * 3 bytes
};

// An opened media file, reused for several frames: the file is opened and
// its decoder set up once. Not thread-safe: one thread at a time. Owns every
// decoder resource it opened.
class MediaAsset {
public:
    // Absent when the file cannot be opened as media or has no decodable
    // video track. Blocks while the file's header is read.
    static std::unique_ptr<MediaAsset> open(const std::string& path);
    virtual ~MediaAsset() = default;

    // The first frame whose time is at or after `at` seconds, or the last
    // frame when `at` lies beyond it; upright, scaled down to fit
    // maxSide x maxSide with its aspect ratio kept (never enlarged). Absent
    // when no frame near `at` decodes. Blocks while decoding.
    virtual std::optional<RgbImage> frameAt(double at, int maxSide) = 0;

protected:
    MediaAsset() = default;
};
