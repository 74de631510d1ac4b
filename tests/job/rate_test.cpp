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

TEST(DiskPace, counts_written_bytes_the_system_no_longer_holds_unflushed) {
    int64_t unflushed = 100;  // another writer's, before the copy
    DiskPace pace([&] { return unflushed; });
    // Rows: bytes written, the system's unflushed bytes now, bytes taken to be on the disk.
    const int64_t rows[][3] = {
        {1000, 1100, 0},     // all of it in memory
        {1000, 600, 500},    // half flushed
        {1000, 900, 500},    // someone else writes: the bar never goes back
        {1200, 300, 1000},   // more written, more flushed
        {1200, 50, 1200},    // less than before the copy: all of it
    };
    for (const auto& r : rows) {
        unflushed = r[1];
        EXPECT_EQ(pace.onDisk(r[0]), r[2]) << r[0] << " " << r[1];
    }
    DiskPace blind([] { return int64_t(-1); });
    EXPECT_EQ(blind.onDisk(700), 700);
}
