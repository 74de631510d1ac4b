// The walk with resynchronisation on synthetic in-memory RSVs: damaged
// regions of every kind are skipped, everything that verifies is kept in
// step with the timeline, and each skipped range is reported with the totals.
#include "base/errors.h"
#include "synth.h"
#include "rsv/resync_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

namespace tv {
namespace {

// Records what the walk hands on: the groups (start, pictures, sound), the
// gaps between them and the report lines; its clock counts the time of lost
// pictures and the silence standing in for lost sound, as the Assembly does.
struct Outcome : GroupSink, Reporter {
    struct Kept {
        int64_t start;
        size_t pictures;
        bool sound;  // the group's own sound, whole and in place
        bool operator==(const Kept& o) const { return start == o.start && pictures == o.pictures && sound == o.sound; }
    };
    void add(const GroupResult& g) override {
        const int64_t slots = g.touched ? g.slots : int64_t(g.frames.size());
        const int64_t own = layout.audioFramesFor(0, clock_.framesBefore, slots, clock_.audioBefore[0]);
        int64_t audio = 0;
        for (const auto& a : g.audio) audio += a.frames;
        EXPECT_TRUE(g.audioLost ? audio == 0 : audio == own) << "group at " << g.start;
        kept.push_back({g.start, g.frames.size(), !g.audioLost});
        clock_.framesBefore += slots;
        clock_.audioBefore[0] += own;
    }
    void markGap(int64_t lost) override {
        gaps.emplace_back(kept.size(), lost);
        clock_.audioBefore[0] += layout.audioFramesFor(0, clock_.framesBefore, lost, clock_.audioBefore[0]);
        clock_.framesBefore += lost;
    }
    WalkClock clock() const override { return clock_; }
    size_t groups() const override { return kept.size(); }
    void info(const std::string& line) override { lines.push_back(line); }
    void progress(double) override {}

    StreamLayout layout = test::layout2398();
    std::vector<Kept> kept;
    std::vector<std::pair<size_t, int64_t>> gaps;  // (groups kept before, pictures lost)
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

// Damage the corpus does not lay out (its damaged recordings hold zeros, random
// bytes, holes and damaged lengths inside one group's pictures, sound and rtmd
// run; key pictures after damage are its short-GOP rows), inside the pictures,
// the sound and between groups: what verifies is kept (whole groups, the
// pictures before the damage, a group's sound when a picture chain proves it
// untouched), the time of what is lost stays in the timeline so the sound
// after it is in step, and each skip is reported.
TEST(walk_resync, damage_keeps_everything_that_verifies_and_the_timeline) {
    const test::Stream plain = test::stream(std::vector<int>(6, 3), 2, {}, true);
    auto fill = [](std::vector<uint8_t>& b, int64_t from, int64_t to, uint8_t value = 0, bool random = false) {
        std::mt19937 rng(42);
        for (int64_t i = from; i < to; ++i) b[size_t(i)] = random ? uint8_t(rng()) : value;
    };
    using Range = std::pair<int64_t, int64_t>;
    using Kept = Outcome::Kept;
    struct Row {
        const char* name;
        const test::Stream& s;
        std::function<void(std::vector<uint8_t>&)> damage;
        std::vector<Kept> kept;
        std::vector<Range> skipped;
        int64_t pictures;  // the timeline's length: pictures up to the last kept one
    };
    const auto& g = plain.groups;
    auto whole = [](const test::SynthGroup& x, size_t n = 3) { return Kept{x.start, n, true}; };
    const std::vector<Row> rows = {
        {"undamaged", plain, [](auto&) {}, {whole(g[0]), whole(g[1]), whole(g[2]), whole(g[3]), whole(g[4]), whole(g[5])}, {}, 18},
        {"the next group's header zeroed: a whole group before it is kept", plain,
         [&](auto& b) { fill(b, g[2].start, g[2].start + 12); },
         {whole(g[0]), whole(g[1]), whole(g[3]), whole(g[4]), whole(g[5])}, {{g[1].end, g[3].start}}, 18},
        // Zeros inside slice data are impossible in a NAL unit (emulation
        // prevention): that picture is damaged, the two before it are not.
        {"zeros inside the last slice of a group whose end is hidden", plain,
         [&](auto& b) {
             fill(b, g[1].audioStart - 6, g[1].audioStart - 3);
             fill(b, g[2].start, g[2].start + 12);
         },
         {whole(g[0]), {g[1].start, 2, false}, whole(g[3]), whole(g[4]), whole(g[5])},
         {{g[1].frameStarts[2], g[3].start}}, 18},
        // The damaged length hides where the picture before it ends (its last
        // slice may run over a hole); the last picture's chain ends where the
        // sound begins, which proves the sound (that picture refers to a lost
        // one and is not kept).
        {"a damaged NAL length", plain, [&](auto& b) { b[size_t(g[1].frameStarts[1]) + 1] = 0x7F; },
         {whole(g[0]), {g[1].start, 0, true}, whole(g[2]), whole(g[3]), whole(g[4]), whole(g[5])},
         {{g[1].start, g[1].audioStart}}, 18},
        {"zeros to the end of the file", plain, [&](auto& b) { fill(b, g[3].videoStart, int64_t(b.size())); },
         {whole(g[0]), whole(g[1]), whole(g[2])}, {{g[3].start, int64_t(plain.bytes.size())}}, 9},
        {"two ranges", plain,
         [&](auto& b) {
             fill(b, g[1].start, g[1].end);
             fill(b, g[3].videoStart, g[3].videoStart + 30, 0xFF);
         },
         {whole(g[0]), whole(g[2]), {g[3].start, 0, true}, whole(g[4]), whole(g[5])},
         {{g[1].start, g[2].start}, {g[3].start, g[3].audioStart}}, 18},
        {"a whole group between two damaged regions", plain,
         [&](auto& b) {
             fill(b, g[2].start, g[2].end);
             fill(b, g[4].start, g[4].start + 12);
         },
         {whole(g[0]), whole(g[1]), whole(g[3]), whole(g[5])}, {{g[2].start, g[3].start}, {g[4].start, g[5].start}}, 18},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto bytes = r.s.bytes;
        r.damage(bytes);
        Outcome o;
        walk(bytes, o);
        EXPECT_EQ(o.kept, r.kept);
        // The sound stays in step: lost time is silence of the exact length.
        EXPECT_EQ(o.clock_.framesBefore, r.pictures);
        EXPECT_EQ(o.clock_.audioBefore[0], o.layout.audioFramesFor(0, 0, r.pictures, 0));
        // Every skip is reported where it is and counted in the closing total.
        const auto skips = skipLines(o);
        ASSERT_EQ(skips.size(), r.skipped.size());
        int64_t total = 0;
        for (size_t k = 0; k < skips.size(); ++k) {
            const auto [from, to] = r.skipped[k];
            const std::string where = "at offset " + std::to_string(from) + ", " + groupDigits(to - from) + " bytes";
            EXPECT_NE(skips[k].find(where), std::string::npos) << skips[k];
            total += to - from;
        }
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
        EXPECT_TRUE(o.kept.empty());
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
