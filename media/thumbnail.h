// Single frames of a video as JPEG data URLs.
#pragma once

#include <memory>
#include <optional>
#include <string>

// An opened media file, reused for several frames. Not thread-safe: one
// thread at a time. Owns every decoder resource it opened.
class MediaAsset {
public:
    // Absent when the file cannot be opened as media.
    static std::unique_ptr<MediaAsset> open(const std::string& path);
    virtual ~MediaAsset() = default;

protected:
    MediaAsset() = default;
};

// The frame at or just after `at` seconds, upright, fitted into 640 x 640
// (never enlarged), as "data:image/jpeg;base64,..." on one line. Absent on any
// failure. Blocks while decoding.
std::optional<std::string> thumbnailDataURL(MediaAsset& asset, double at);
