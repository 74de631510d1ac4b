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
