// The time bound and the progress figure of a parameter-set search. The
// figure moves to at least the step the search has reached and at least as
// far as the time bound has run, so it moves while the search works and
// reaches 100 where the search would give up: a time left estimated from
// it is never far off.
//
// Thread: the search's. Errors: none; the caller asks expired().
#pragma once

#include "base/reporter.h"

#include <algorithm>
#include <chrono>

namespace tv {

class SearchClock {
public:
    using Clock = std::chrono::steady_clock;
    // The search gives up (a reference is needed) after this long.
    static constexpr std::chrono::seconds kTimeBound{170};

    explicit SearchClock(Reporter& rep) : rep_(rep), start_(Clock::now()) {}

    bool expired() const { return Clock::now() - start_ > kTimeBound; }
    double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    // Moves the figure to at least pct within 10..100 (below 10: the
    // header survey's own figure).
    void progress(double pct) {
        const double t = std::chrono::duration<double>(Clock::now() - start_) / kTimeBound;
        const double now = std::max({last_, pct, 10 + 90 * std::min(1.0, t)});
        if (now > last_ + 0.05 || pct >= 100) rep_.progress(now);
        last_ = now;
    }
    void tick() { progress(last_); }

private:
    Reporter& rep_;
    Clock::time_point start_;
    double last_ = 0;
};

}  // namespace tv
