#include "noref/matrix_fit.h"

#include "noref/h264_probe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tv {
namespace {

// What a search may read to reach the next key picture: a long GOP of 50p
// (48 pictures) and its key picture, with room to spare.
constexpr size_t kMaxPictures = 128;
constexpr size_t kMaxBytes = 256u << 20;
// The drift is measured on macroblock means: wrong matrices shift whole
// blocks, while motion moves edges, which means over 16x16 samples mostly
// average out (on per-sample steps the right matrices stood out by 2 to 4 %
// on moving pictures, on macroblock means by 30 %).
constexpr int kBlock = 16;

// Anti-diagonals in order, as the zig-zag scan visits them; the shapes are
// symmetric in u and v, so the order within a diagonal does not matter.
std::vector<uint8_t> listOf(int n, double dc, double slope, double cross) {
    std::vector<uint8_t> values;
    for (int s = 0; s <= 2 * (n - 1); ++s)
        for (int u = std::max(0, s - n + 1); u <= std::min(s, n - 1); ++u) {
            const int v = s - u;
            const double m = dc + slope * (u + v) + cross * u * v;
            values.push_back(uint8_t(std::lround(std::clamp(m, 1.0, 255.0))));
        }
    return values;
}

}  // namespace

ScalingLists MatrixShape::lists() const {
    // An 8x8 coefficient is half the frequency of the 4x4 one of the same index.
    const auto intra4 = listOf(4, dc, slope, slope / 2), inter4 = listOf(4, dc, slope / 2, slope / 4);
    const auto intra8 = listOf(8, dc, slope / 2, slope / 8), inter8 = listOf(8, dc, slope / 4, slope / 16);
    return ScalingLists::fromValues({intra4, intra4, intra4, inter4, inter4, inter4, intra8, inter8});
}

std::string MatrixShape::describe() const {
    char text[48];
    snprintf(text, sizeof text, "DC %d, slope %g", dc, slope);
    return text;
}

std::vector<std::vector<uint8_t>> readThroughNextKey(const ByteSource& rsv, const RsvRecording& rec) {
    const auto idr = [&](size_t i) { return rec.frames[i].key && rec.frames[i].firstSliceType == 5; };
    size_t from = 0;
    while (from < rec.frames.size() && !idr(from)) ++from;
    size_t to = from + 1;
    while (to < rec.frames.size() && !idr(to)) ++to;
    if (to >= rec.frames.size() || to - from + 1 > kMaxPictures) return {};
    size_t bytes = 0;
    for (size_t i = from; i <= to; ++i) bytes += rec.frames[i].size;
    if (bytes > kMaxBytes) return {};
    std::vector<std::vector<uint8_t>> samples;
    for (size_t i = from; i <= to; ++i) samples.push_back(rsv.readVector(rec.frames[i].offset, rec.frames[i].size));
    return samples;
}

std::optional<double> keyPictureStep(const std::vector<uint8_t>& avcC, const std::vector<std::vector<uint8_t>>& samples) {
    if (samples.size() < 3) return std::nullopt;
    const size_t key = samples.size() - 1;
    std::vector<double> last;
    double keyStep = -1, steps = 0;
    size_t count = 0;
    const PictureCheck check = [&](size_t picture, const LumaView& luma) {
        const int columns = luma.width / kBlock, rows = luma.height / kBlock;
        // 8-bit code values at either depth, so that steps compare.
        const double unit = luma.bytesPerSample == 2 ? 4.0 * kBlock * kBlock : double(kBlock * kBlock);
        std::vector<double> here(size_t(columns) * size_t(rows));
        for (int y = 0; y < rows * kBlock; ++y)
            for (int x = 0; x < columns * kBlock; ++x)
                here[size_t(y / kBlock) * size_t(columns) + size_t(x / kBlock)] += luma.at(x, y) / unit;
        if (!here.empty() && last.size() == here.size()) {
            double sum = 0;
            for (size_t i = 0; i < here.size(); ++i) sum += (here[i] - last[i]) * (here[i] - last[i]);
            const double step = sum / double(here.size());
            if (picture == key) keyStep = step;
            else {
                steps += step;
                ++count;
            }
        }
        last = std::move(here);
        return true;
    };
    const ProbeResult r = probeDecode(false, avcC, samples, false, &check);
    if (!r.clean || keyStep < 0 || count == 0) return std::nullopt;
    // A hundredth of a code value squared: a still, black GOP measures 1.
    return (keyStep + 0.01) / (steps / double(count) + 0.01);
}

std::optional<FittedShape> fitShape(const std::function<std::optional<double>(const MatrixShape&)>& step,
                                    MatrixShape start, size_t budget) {
    std::vector<std::pair<MatrixShape, std::optional<double>>> seen;
    const auto measure = [&](const MatrixShape& s) -> std::optional<double> {
        for (const auto& [shape, value] : seen)
            if (shape == s) return value;
        if (seen.size() >= budget) return std::nullopt;
        seen.emplace_back(s, step(s));
        return seen.back().second;
    };
    // A coarse grid first: the step falls in a narrow valley along DC and
    // slope together, which moves along one coordinate at a time miss.
    std::optional<double> best;
    MatrixShape at = start;
    for (int dc = 8; dc <= 20; dc += 4)
        for (double slope = 0; slope <= 8; slope += 2)
            if (const auto v = measure({dc, slope}); v && (!best || *v < *best)) {
                best = v;
                at = {dc, slope};
            }
    if (const auto v = measure(start); v && (!best || *v < *best)) {
        best = v;
        at = start;
    }
    if (!best) return std::nullopt;
    // Then finer steps of DC and slope around the best, and of both along
    // the valley (the step rose as much for 4 more at DC as for 2 less
    // slope); halved once a step finds nothing better.
    for (const auto& [dcStep, slopeStep] : {std::pair<int, double>{2, 1}, {1, 0.5}}) {
        for (bool moved = true; moved && seen.size() < budget;) {
            moved = false;
            const MatrixShape around[] = {{at.dc - dcStep, at.slope},
                                          {at.dc + dcStep, at.slope},
                                          {at.dc, at.slope - slopeStep},
                                          {at.dc, at.slope + slopeStep},
                                          {at.dc - dcStep, at.slope - slopeStep},
                                          {at.dc + dcStep, at.slope + slopeStep}};
            for (const MatrixShape& s : around) {
                if (s.dc < 4 || s.dc > 64 || s.slope < 0 || s.slope > 16) continue;
                const std::optional<double> v = measure(s);
                if (v && *v < *best) {
                    best = v;
                    at = s;
                    moved = true;
                }
            }
        }
    }
    return FittedShape{at, *best, seen.size()};
}

}  // namespace tv
