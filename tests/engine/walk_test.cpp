// The walk with resynchronisation on synthetic in-memory RSVs: damaged
// regions of every kind are skipped, every undamaged group is kept with its
// own audio, and each skipped range is reported with the totals.
#include "base/errors.h"
#include "synth.h"
#include "rsv/resync_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

namespace tv {
namespace {

// Records what the walk hands on: the groups (start, audio sample frames per
// picture), the discontinuities between them and the report lines.
struct Outcome : GroupSink, Reporter {
    void add(const GroupResult& g) override {
        starts.push_back(g.start);
        int64_t audio = 0;
        for (const auto& a : g.audio) audio += a.frames;
        audioPerFrame.push_back(g.frames.empty() ? 0 : audio / int64_t(g.frames.size()));
        clock_.framesBefore += int64_t(g.frames.size());
        clock_.audioBefore[0] += audio;
    }
    void markDiscontinuity() override { discontinuities.push_back(starts.size()); }
    WalkClock clock() const override { return clock_; }
    size_t groups() const override { return starts.size(); }
    void info(const std::string& line) override { lines.push_back(line); }
    void progress(double) override {}

    std::vector<int64_t> starts, audioPerFrame;
    std::vector<size_t> discontinuities;  // number of groups added before each
    std::vector<std::string> lines;
    WalkSummary summary;
    WalkClock clock_{0, {0}};
};

void walk(const std::vector<uint8_t>& bytes, Outcome& o, const StreamLayout& l = test::layout2398()) {
    MemorySource src(bytes);
    auto ps = ParameterSets::fromConfig(VideoCodec::H264, {});
    GroupWalker walker(src, l, ps);
    o.summary = walkResynchronising(src, walker, o, 0, o, false);
}

std::vector<std::string> skipLines(const Outcome& o) {
    std::vector<std::string> out;
    std::copy_if(o.lines.begin(), o.lines.end(), std::back_inserter(out),
                 [](const std::string& l) { return l.rfind("skipped a damaged range", 0) == 0; });
    return out;
}

TEST(walk_resync, damaged_regions_are_skipped_and_every_intact_group_kept) {
    const test::Stream s = test::stream(std::vector<int>(6, 3));
    const auto& g = s.groups;
    auto fill = [](std::vector<uint8_t>& b, int64_t from, int64_t to, uint8_t value = 0, bool random = false) {
        std::mt19937 rng(42);
        for (int64_t i = from; i < to; ++i) b[size_t(i)] = random ? uint8_t(rng()) : value;
    };
    using Range = std::pair<int64_t, int64_t>;
    struct Row {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        std::vector<size_t> kept;  // group indices
        std::vector<Range> skipped;
    };
    const std::vector<Row> rows = {
        {"undamaged", [](auto&) {}, {0, 1, 2, 3, 4, 5}, {}},
        {"zeroed group", [&](auto& b) { fill(b, g[1].start, g[1].end); }, {0, 2, 3, 4, 5}, {{g[1].start, g[2].start}}},
        // The group whose audio the zeros start in is whole but for its
        // audio samples; it is kept, the damage after it skipped.
        {"zeros from a group's audio into the next rtmd run",
         [&](auto& b) { fill(b, g[1].audioStart + 10, g[2].start + 70); }, {0, 1, 3, 4, 5}, {{g[1].end, g[3].start}}},
        {"the next group's header zeroed: a whole group before it is kept",
         [&](auto& b) { fill(b, g[2].start, g[2].start + 12); }, {0, 1, 3, 4, 5}, {{g[1].end, g[3].start}}},
        // Zeros inside slice data are impossible in a NAL unit (emulation
        // prevention): the group before the damage is not whole after all.
        {"zeros inside the last slice of a group whose end is hidden",
         [&](auto& b) {
             fill(b, g[1].audioStart - 6, g[1].audioStart - 3);
             fill(b, g[2].start, g[2].start + 12);
         },
         {0, 3, 4, 5}, {{g[1].start, g[3].start}}},
        {"random bytes inside a group's video",
         [&](auto& b) { fill(b, g[2].videoStart + 20, g[2].audioStart, 0, true); }, {0, 1, 3, 4, 5},
         {{g[2].start, g[3].start}}},
        {"a NAL length running past the end of the file", [&](auto& b) { b[size_t(g[1].frameStarts[1]) + 1] = 0x7F; },
         {0, 2, 3, 4, 5}, {{g[1].start, g[2].start}}},
        {"damage in the first group", [&](auto& b) { fill(b, 0, 8); }, {1, 2, 3, 4, 5}, {{0, g[1].start}}},
        {"zeros to the end of the file", [&](auto& b) { fill(b, g[3].videoStart, int64_t(b.size())); }, {0, 1, 2},
         {{g[3].start, int64_t(s.bytes.size())}}},
        {"two ranges",
         [&](auto& b) {
             fill(b, g[1].start, g[1].end);
             fill(b, g[3].videoStart, g[3].videoStart + 30, 0xFF);
         },
         {0, 2, 4, 5}, {{g[1].start, g[2].start}, {g[3].start, g[4].start}}},
        {"a whole group between two damaged regions",
         [&](auto& b) {
             fill(b, g[2].start, g[2].end);
             fill(b, g[4].start, g[4].start + 12);
         },
         {0, 1, 3, 5}, {{g[2].start, g[3].start}, {g[4].start, g[5].start}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto bytes = s.bytes;
        r.damage(bytes);
        Outcome o;
        walk(bytes, o);
        std::vector<int64_t> want;
        for (size_t i : r.kept) want.push_back(g[i].start);
        EXPECT_EQ(o.starts, want);
        // Each kept group carries exactly its own audio (2,002 sample frames
        // per picture at 23.976p / 48 kHz), damage or not.
        for (int64_t a : o.audioPerFrame) EXPECT_EQ(a, 2002);
        // Every skip is reported where it is, marked between the kept groups
        // around it, and counted in the closing total.
        const auto skips = skipLines(o);
        ASSERT_EQ(skips.size(), r.skipped.size());
        int64_t total = 0;
        std::vector<size_t> marks;
        for (size_t i = 0; i < skips.size(); ++i) {
            const auto [from, to] = r.skipped[i];
            const std::string where = "at offset " + std::to_string(from) + ", " + groupDigits(to - from) + " bytes";
            EXPECT_NE(skips[i].find(where), std::string::npos) << skips[i];
            total += to - from;
            const auto before = size_t(std::count_if(want.begin(), want.end(), [&](int64_t at) { return at < from; }));
            if (before > 0 && before < want.size()) marks.push_back(before);
        }
        EXPECT_EQ(o.discontinuities, marks);
        EXPECT_EQ(o.summary.skippedRanges, int64_t(skips.size()));
        EXPECT_EQ(o.summary.skippedBytes, total);
        EXPECT_TRUE(skips.empty() || o.lines.back() == "skipped " + std::to_string(skips.size()) + " damaged range" +
                                                                 (skips.size() > 1 ? "s, " : ", ") + groupDigits(total) +
                                                                 " bytes in all")
            << o.lines.back();
        for (const auto& l : o.lines) EXPECT_EQ(l.find('%'), std::string::npos) << l;
    }
}

TEST(walk_resync, a_walk_where_nothing_verifies_is_refused) {
    std::vector<uint8_t> noise(200000);
    std::mt19937 rng(7);
    for (auto& b : noise) b = uint8_t(rng());
    // Markers alone do not make a group.
    const auto sample = test::rtmdSample(64);
    for (size_t at : {1000u, 50000u, 120000u}) std::copy(sample.begin(), sample.end(), noise.begin() + long(at));
    // Audio sizes of another camera setting: no group end is ever confirmed,
    // and nothing may be taken on trust.
    StreamLayout other = test::layout2398();
    other.audio[0].bytesPerFrame = 6;
    for (const auto& [bytes, layout] : {std::pair(noise, test::layout2398()), std::pair(test::stream({3, 3, 3, 3}).bytes, other)}) {
        Outcome o;
        EXPECT_THROW(walk(bytes, o, layout), EngineError);
        EXPECT_TRUE(o.starts.empty());
    }
}

TEST(walk_resync, byte_counts_are_grouped_by_thousands) {
    const std::pair<int64_t, const char*> rows[] = {
        {0, "0"}, {999, "999"}, {1000, "1,000"}, {1234567, "1,234,567"}, {100000, "100,000"},
        {int64_t(95) << 30, "102,005,473,280"}};
    for (const auto& [n, text] : rows) EXPECT_EQ(groupDigits(n), text);
}

}  // namespace
}  // namespace tv
