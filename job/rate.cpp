#include "job/rate.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kSettleSeconds = 1.0;
constexpr double kLeastFraction = 0.001;

}  // namespace

Value RateEstimate::at(double fraction, double now) const {
    const double elapsed = now - start_;
    if (!std::isfinite(fraction) || !std::isfinite(elapsed) || elapsed < kSettleSeconds ||
        fraction < kLeastFraction || total_ <= 0)
        return Value::object();
    fraction = std::min(fraction, 1.0);
    const double rate = double(total_) * fraction / elapsed / 1e6;
    return Value{{"rate_mb_s", std::round(rate * 10) / 10}};
}
