#include "noref/hevc_one_slice.h"

#include "base/bytes.h"
#include "codec/nal_units.h"

#include <cstdlib>
#include <functional>
#include <string>

namespace tv {
namespace {

// Bytes changed at the slice's end: few enough that a decode stopping
// short of the end rarely reaches them by chance, enough that the last
// block's bins change under the right size.
constexpr size_t kTailBytes = 6;
constexpr size_t kAddedBytes = 96;

bool isVcl(int type) { return type <= 9 || (type >= 16 && type <= 21); }

// The sample with its one slice NAL unit rewritten by `edit` (which gets
// the NAL unit's bytes); nullopt when there is not exactly one slice or the
// edit declines.
std::optional<std::vector<uint8_t>> editSlice(const std::vector<uint8_t>& sample,
                                              const std::function<bool(std::vector<uint8_t>&)>& edit) {
    std::vector<uint8_t> out;
    int slices = 0;
    bool ok = true;
    const bool whole = forEachNal(sample.data(), sample.size(), 4, [&](const uint8_t* nal, size_t len) {
        std::vector<uint8_t> unit(nal, nal + len);
        if (len >= 2 && isVcl((nal[0] >> 1) & 63)) {
            ++slices;
            ok = ok && edit(unit);
        }
        putBe32(out, uint32_t(unit.size()));
        out.insert(out.end(), unit.begin(), unit.end());
        return true;
    });
    if (!whole || !ok || slices != 1) return std::nullopt;
    return out;
}

}  // namespace

std::vector<std::pair<uint32_t, uint32_t>> oneSliceFrameSizes() {
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    const std::vector<std::pair<uint32_t, uint32_t>> camera{{3840, 2160}, {1920, 1080}, {4096, 2160}, {1280, 720},
                                                     {2560, 1440}, {1440, 1080}, {4096, 1716}, {3840, 1600},
                                                     {7680, 4320}, {2048, 1080}};
    // Test fixtures are small; their sizes are never a camera's. They come
    // first, so that a test need not wait through every camera size.
    if (const char* extra = std::getenv("TORVELIN_TEST_FRAME_SIZES")) {
        const std::string list = extra;
        size_t at = 0;
        while (at < list.size()) {
            size_t end = list.find(',', at);
            if (end == std::string::npos) end = list.size();
            const std::string item = list.substr(at, end - at);
            const size_t x = item.find('x');
            if (x != std::string::npos) {
                const unsigned long w = std::strtoul(item.c_str(), nullptr, 10);
                const unsigned long h = std::strtoul(item.c_str() + x + 1, nullptr, 10);
                if (w >= 16 && h >= 16 && w <= 8192 && h <= 4320) sizes.emplace_back(uint32_t(w), uint32_t(h));
            }
            at = end + 1;
        }
    }
    sizes.insert(sizes.end(), camera.begin(), camera.end());
    return sizes;
}

std::optional<std::vector<uint8_t>> withBytesAfterSlice(const std::vector<uint8_t>& sample) {
    return editSlice(sample, [](std::vector<uint8_t>& nal) {
        nal.insert(nal.end(), kAddedBytes, 0xff);
        return true;
    });
}

std::optional<std::vector<uint8_t>> withSliceTailChanged(const std::vector<uint8_t>& sample) {
    return editSlice(sample, [](std::vector<uint8_t>& nal) {
        // The last byte that is neither a zero word nor its emulation
        // prevention byte holds the stop bit.
        size_t last = nal.size();
        while (last > 2 && (nal[last - 1] == 0 || (nal[last - 1] == 3 && nal[last - 2] == 0))) --last;
        if (last < 2 + 16 + kTailBytes) return false;
        for (size_t i = last - 1 - kTailBytes; i < last - 1; ++i) nal[i] = uint8_t((nal[i] ^ 0x5a) | 0x80);
        return true;
    });
}

uint64_t lumaHash(const LumaView& y) {
    uint64_t h = 14695981039346656037ull;
    for (int row = 0; row < y.height; ++row) {
        const uint8_t* p = y.data + ptrdiff_t(row) * y.linesize;
        for (int i = 0; i < y.width * y.bytesPerSample; ++i) h = (h ^ p[i]) * 1099511628211ull;
    }
    return h;
}

bool everyBlockWritten(const LumaView& y, uint32_t ctbSize) {
    const int ctb = int(ctbSize);
    for (int y0 = 0; y0 < y.height; y0 += ctb)
        for (int x0 = 0; x0 < y.width; x0 += ctb) {
            const int cx = (x0 + std::min(x0 + ctb, y.width)) / 2, cy = (y0 + std::min(y0 + ctb, y.height)) / 2;
            if (y.at(cx, cy) == 1 && y.at(std::max(x0, cx - 1), std::max(y0, cy - 1)) == 1) return false;
        }
    return true;
}

}  // namespace tv
