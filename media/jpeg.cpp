#include "media/jpeg.h"

#include <turbojpeg.h>

#include <memory>

namespace {
struct TjDestroyer {
    void operator()(void* handle) const noexcept { tjDestroy(handle); }
};
}  // namespace

std::optional<std::vector<uint8_t>> encodeJpeg(const RgbImage& image, int quality) {
    if (image.width <= 0 || image.height <= 0 ||
        image.pixels.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 3)
        return std::nullopt;
    std::unique_ptr<void, TjDestroyer> handle(tjInitCompress());
    if (!handle) return std::nullopt;
    const unsigned long bound = tjBufSize(image.width, image.height, TJSAMP_420);
    if (bound == static_cast<unsigned long>(-1)) return std::nullopt;
    std::vector<uint8_t> out(bound);
    unsigned char* buf = out.data();
    unsigned long size = bound;
    // The buffer is sized for the worst case, so the encoder never reallocates it.
    if (tjCompress2(handle.get(), image.pixels.data(), image.width, 0, image.height, TJPF_RGB, &buf, &size,
                    TJSAMP_420, quality, TJFLAG_NOREALLOC) != 0)
        return std::nullopt;
    out.resize(size);
    return out;
}
