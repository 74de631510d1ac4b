#include <gtest/gtest.h>

#include <limits>

#include "job/rate.h"

TEST(RateEstimate, speed_from_the_share_done) {
    struct Row {
        const char* why;
        int64_t total;
        double fraction, now;
        Value want;  // an empty object: nothing to tell yet
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Row rows[] = {
        {"a quarter of 30 GB in 50 s", 30'000'000'000, 0.25, 150, Value{{"rate_mb_s", 150.0}}},
        {"speed keeps one decimal", 1'000'000'000, 0.5, 103, Value{{"rate_mb_s", 166.7}}},
        {"past the end counts as done", 1'000'000'000, 1.2, 110, Value{{"rate_mb_s", 100.0}}},
        {"under a second: too early", 1'000'000'000, 0.5, 100.5, Value::object()},
        {"nothing done yet", 1'000'000'000, 0.0, 160, Value::object()},
        {"unknown size", 0, 0.5, 160, Value::object()},
        {"not a number", 1'000'000'000, nan, 160, Value::object()},
    };
    for (const Row& r : rows) EXPECT_EQ(RateEstimate(r.total, 100).at(r.fraction, r.now), r.want) << r.why;
}

TEST(DiskPace, counts_written_bytes_no_longer_waiting_to_be_flushed) {
    int64_t file = -1, system = 100;  // another writer's, before the copy
    DiskPace pace([&](int) { return file; }, [&] { return system; });
    // Rows: the system's unflushed bytes, the share of 1000 written on the disk: all in memory, half flushed,
    // someone else writes (the bar never goes back), less than before the copy.
    const std::pair<int64_t, double> rows[] = {{1100, 0.0}, {600, 0.5}, {900, 0.5}, {50, 1.0}};
    for (const auto& [s, want] : rows) {
        system = s;
        EXPECT_DOUBLE_EQ(pace.flushed(1000, 3), want) << s;
    }
    // The file's own count wins over the system's; nothing to tell: all of it.
    EXPECT_DOUBLE_EQ(DiskPace([](int) { return 250; }, [] { return 5000; }).flushed(1000, 3), 0.75);
    EXPECT_DOUBLE_EQ(DiskPace([](int) { return -1; }, [] { return -1; }).flushed(1000, 3), 1.0);
}

// A followed job sampled every half second from its start: the copy at its pace, the engine's output behind it in
// steps of 64 MiB at its own pace (0: none) until `stall`, the kernel cleaning pages at `clean` (negative: only once
// the copy is written) with `dirty` in memory (negative: all not cleaned), `behind` or keeping up.
TEST(FollowEstimate, time_left_is_the_last_worker_then_verification) {
    struct Row {
        const char* why;
        double copy, chase, stall, clean, dirty;
        bool behind, shared;
        double at;
        TimeLeft::Kind kind;
        double least = 0, most = 0;
    };
    using K = TimeLeft::Kind;
    const Row rows[] = {
        {"behind a card reader the copy sets the pace", 150e6, 1e12, 1e9, 150e6, 2e9, false, false, 20, K::Seconds, 36, 38.5},
        // It lags because the copy holds the disk: from the copy's end on it is taken at the copy's pace.
        {"same disk: the lagging chase and the flush", 730e6, 350e6, 1e9, 600e6, 1e9, true, false, 6, K::Seconds, 11.5, 13.5},
        {"shared blocks: a first step, the rest once the copy is whole", 700e6, 135e6, 0.5, 700e6, 0, false, true, 5, K::Seconds, 7.2, 8.5},
        {"the copy is written: the lagging chase goes at the copy's pace", 2e9, 350e6, 1e9, 2e9, 0, false, false, 6, K::Seconds, 4, 5},
        {"a slow disk flushes what waited in memory", 2e9, 1e12, 1e9, -150e6, -1, false, false, 6, K::Seconds, 50, 53},
        {"a chase stalled since second 4 slows the end", 730e6, 350e6, 4, 600e6, 1e9, true, false, 8, K::Seconds, 38, 60},
        {"the first second says nothing", 150e6, 1e12, 1e9, 150e6, 0, false, false, 1, K::NotYet},
        {"nothing written yet", 0, 1e12, 1e9, 0, 0, false, false, 3, K::NotYet},
        {"an engine that waits for the whole copy", 150e6, 0, 1e9, 150e6, 0, false, false, 6, K::Unsure},
        {"it is still not followed once the copy is complete", 3e9, 0, 1e9, 3e9, 0, false, false, 4, K::Unsure},
    };
    const double total = 8e9, step = 64 << 20;
    for (const Row& r : rows) {
        FollowEstimate estimate(int64_t(total), 0, [](double copy) { return std::max(0.5, 0.05 * copy) + 1; });
        TimeLeft told, before;
        for (double t = 0.5; t <= r.at + 1e-9; t += 0.5) {
            FollowEstimate::Sample s{t, int64_t(std::min(total, r.copy * t)), int64_t(r.dirty),
                                     int64_t(std::min(r.copy, r.clean) * t), r.behind, {}, r.shared};
            if (r.clean < 0) s.cleaned = int64_t(-r.clean * std::max(0.0, t - total / r.copy));  // once written
            if (r.dirty < 0) s.unflushed = s.copied - s.cleaned;
            if (r.chase > 0) s.output = int64_t(std::floor(std::min<double>(s.copied, r.chase * std::min(t, r.stall)) / step) * step);
            before = told;
            told = estimate.at(s);
            // Steady work moves the figure by its half second, give or take; a stall never sends it wild.
            if (told.kind == K::Seconds && t >= r.stall && !r.shared) {
                EXPECT_LE(told.seconds, r.most) << r.why << " at " << t;
            } else if (before.kind == K::Seconds && told.kind == K::Seconds) {
                EXPECT_NEAR(told.seconds, before.seconds - 0.5, std::max(1.0, 0.08 * before.seconds)) << r.why << t;
            }
        }
        EXPECT_EQ(told.kind, r.kind) << r.why;
        if (r.kind == K::Seconds) {
            EXPECT_GE(told.seconds, r.least) << r.why;
            EXPECT_LE(told.seconds, r.most) << r.why;
        }
    }
}
