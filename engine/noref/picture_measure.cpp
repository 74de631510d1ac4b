#include "noref/picture_measure.h"

#include <cmath>
#include <cstddef>

namespace tv {

template <class T>
void PictureMeasure::scan(const uint8_t* plane, int stride, int width, int height, double unit) {
    const auto at = [&](int x, int y) {
        return double(reinterpret_cast<const T*>(plane + ptrdiff_t(y) * stride)[x]) / unit;
    };
    const auto step = [&](double d, bool edge) {
        d = std::abs(d);
        const double d2 = d * d;
        abs[!edge] += d;
        sq[!edge] += d2;
        q4[!edge] += d2 * d2;
        n[!edge] += 1;
        cliffs += d >= 128;
    };
    for (int y = 1; y < height; ++y)
        for (int x = 1; x < width; ++x) {
            const double here = at(x, y);
            grey += std::abs(here - 128);
            samples += 1;
            step(here - at(x - 1, y), x % 4 == 0);
            step(here - at(x, y - 1), y % 4 == 0);
        }
}

void PictureMeasure::add(const uint8_t* plane, int stride, int width, int height, int depth) {
    if (!plane || width < 2 || height < 2 || depth < 8 || depth > 16) return;
    const double unit = double(1 << (depth - 8));
    if (depth > 8) scan<uint16_t>(plane, stride, width, height, unit);
    else scan<uint8_t>(plane, stride, width, height, unit);
}

double PictureMeasure::edgeRatio() const {
    if (n[0] == 0 || n[1] == 0) return 0;
    // Half a code value of step everywhere: a flat picture comes out near 1.
    return (abs[0] / n[0] + 0.5) / (abs[1] / n[1] + 0.5);
}

}  // namespace tv
