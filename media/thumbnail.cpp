#include "media/thumbnail.h"

#include "media/base64.h"
#include "media/jpeg.h"

namespace {
constexpr int kMaxSide = 640;
// The platform's compression factor 0.82 on libjpeg-turbo's quality scale.
constexpr int kJpegQuality = 82;
}  // namespace

std::optional<std::string> thumbnailDataURL(MediaAsset& asset, double at) {
    try {
        const auto image = asset.frameAt(at, kMaxSide);
        if (!image) return std::nullopt;
        const auto jpeg = encodeJpeg(*image, kJpegQuality);
        if (!jpeg) return std::nullopt;
        return "data:image/jpeg;base64," + base64Encode(*jpeg);
    } catch (...) {
        return std::nullopt;  // out of memory: no frame
    }
}
