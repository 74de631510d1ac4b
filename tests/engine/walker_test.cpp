// The group walker on synthetic in-memory RSVs: complete groups, cuts at
// every kind of place, and groups that must not be accepted.
#include "synth.h"
#include "rsv/one_group.h"

#include <gtest/gtest.h>

#include <functional>

namespace tv {
namespace {

using Status = GroupResult::Status;

TEST(audio_size, exact_integer_arithmetic_from_timescales) {
    StreamLayout l = test::layout2398();
    EXPECT_EQ(l.audioFramesFor(0, 0, 12, 0), 24024);  // 12 x 1001 / 24000 x 48000
    l.videoTimescale = 25000;
    l.frameDuration = 1000;
    EXPECT_EQ(l.audioFramesFor(0, 0, 12, 0), 23040);
    // 59.94p: 25 frames are 20,020.02 sample frames; the remainder is carried
    // so that the running total is always floor(frames x 1001 x 48000 / 60000).
    l.videoTimescale = 60000;
    l.frameDuration = 1001;
    int64_t placed = 0, frames = 0;
    for (int group : {25, 30, 25, 15, 30, 25, 25}) {
        int64_t n = l.audioFramesFor(0, frames, group, placed);
        placed += n;
        frames += group;
        EXPECT_EQ(placed, frames * 1001 * 48000 / 60000) << "after " << frames << " frames";
    }
    EXPECT_EQ(l.audioFramesFor(0, 25, 25, 20020), 20020);
}

using test::Stream;

struct Walk {
    std::vector<GroupResult> groups;
    size_t frames = 0;
    int64_t audioFrames = 0;
};

Walk walkAll(const std::vector<uint8_t>& bytes, int64_t start = 0) {
    MemorySource src(bytes);
    auto ps = ParameterSets::fromConfig(VideoCodec::H264, {});
    GroupWalker walker(src, test::layout2398(), ps);
    WalkClock clock;
    clock.audioBefore = {0};
    Walk w;
    int64_t pos = start;
    for (int guard = 0; guard < 100; ++guard) {
        GroupResult g = walker.readOneGroup(pos, clock);
        w.groups.push_back(g);
        w.frames += g.frames.size();
        for (const auto& a : g.audio) w.audioFrames += a.frames;
        if (g.status != Status::Complete || g.atEnd) break;
        walker.learn(g);
        clock.framesBefore += int64_t(g.frames.size());
        for (const auto& a : g.audio) clock.audioBefore[a.track] += a.frames;
        pos = g.end;
    }
    return w;
}

std::optional<int64_t> findStart(const std::vector<uint8_t>& bytes, int64_t from, const WalkClock& clock) {
    MemorySource src(bytes);
    auto ps = ParameterSets::fromConfig(VideoCodec::H264, {});
    return GroupWalker(src, test::layout2398(), ps).findGroupStart(from, src.size(), clock);
}

TEST(group_walker, zero_padding_or_a_movie_header_after_the_last_group_ends_the_walk) {
    std::vector<uint8_t> moov;
    putBe32(moov, 16);
    putBe32(moov, fourcc("moov"));
    putBe64(moov, 0);
    for (const auto& tail : {std::vector<uint8_t>(192, 0), moov}) {
        Stream s = test::stream({3, 3});
        s.bytes.insert(s.bytes.end(), tail.begin(), tail.end());
        Walk w = walkAll(s.bytes);
        ASSERT_EQ(w.groups.size(), 2u);
        EXPECT_EQ(w.groups[1].status, Status::Complete) << w.groups[1].reason;
        EXPECT_TRUE(w.groups[1].atEnd);
        EXPECT_EQ(w.frames, 6u);
    }
}

TEST(group_walker, a_cut_keeps_exactly_the_complete_frames) {
    Stream s = test::stream({3, 3, 2});
    const auto& last = s.groups[2];
    const int64_t audioBytes = last.end - last.audioStart;
    // Offsets inside the second picture of the last group.
    const int64_t f1 = last.frameStarts[1];
    const int64_t firstSliceAt = f1 + 6 + 9;  // after the delimiter and the SEI
    const int64_t firstSliceEnd = firstSliceAt + 4 + be32(&s.bytes[size_t(firstSliceAt)]);
    struct Row {
        const char* name;
        int64_t cutAt;
        size_t frames;
        int64_t audioFrames;  // of the whole walk
    };
    const int64_t fullAudio = 2 * 6006;  // groups 1 and 2 (3 frames each at 23.976p)
    // Cuts at a group boundary, in the rtmd run and in a slice are the corpus's rows.
    std::vector<Row> rows = {
        {"after the rtmd run", last.videoStart, 6, fullAudio},
        {"inside the first delimiter", last.videoStart + 3, 6, fullAudio},
        {"inside the next picture's delimiter", f1 + 3, 7, fullAudio},
        {"between the two slices of the last picture", firstSliceEnd, 7, fullAudio},
        {"right after the last picture", last.audioStart, 8, fullAudio},
        {"inside the audio", last.audioStart + audioBytes / 2 + 1, 8,
         fullAudio + (audioBytes / 2 + 1) / 4},
        {"one byte short of the end", last.end - 1, 8, fullAudio + (audioBytes - 1) / 4},
    };
    for (const auto& r : rows) {
        std::vector<uint8_t> cut(s.bytes.begin(), s.bytes.begin() + r.cutAt);
        Walk w = walkAll(cut);
        EXPECT_EQ(w.frames, r.frames) << r.name << ": " << w.groups.back().reason;
        EXPECT_EQ(w.audioFrames, r.audioFrames) << r.name;
        EXPECT_NE(w.groups.back().status, Status::Failed) << r.name << ": " << w.groups.back().reason;
        for (const auto& g : w.groups) EXPECT_LE(g.keptEnd, r.cutAt) << r.name;
    }
}

TEST(group_walker, a_cut_first_group_keeps_nothing_it_cannot_judge) {
    Stream s = test::stream({3});
    // Between the slices of the last picture of the only group: the slice
    // count is learned from the group's own earlier pictures.
    const auto& g = s.groups[0];
    std::vector<uint8_t> cut(s.bytes.begin(), s.bytes.begin() + g.frameStarts[2] + 20);
    Walk w = walkAll(cut);
    EXPECT_EQ(w.frames, 2u);
    std::vector<uint8_t> early(s.bytes.begin(), s.bytes.begin() + g.frameStarts[0] + 30);
    EXPECT_EQ(walkAll(early).frames, 0u);
}

TEST(group_walker, groups_that_do_not_check_out_fail_with_a_reason) {
    Stream s = test::stream({3, 3, 3});
    struct Row {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        size_t failingGroup;
    };
    std::vector<Row> rows = {
        {"garbage instead of the first rtmd", [](auto& b) { b[0] = 0x55; }, 0},
        {"second rtmd marker missing", [](auto& b) { b[8] = 0; }, 0},
        {"no delimiter after the rtmd run",
         [&](auto& b) { b[size_t(s.groups[1].videoStart) + 4] = 0x01; }, 1},
        {"a NAL length running into the next picture",
         [&](auto& b) { b[size_t(s.groups[1].frameStarts[0]) + 8] = 0x03; }, 1},
        {"audio one byte longer than the arithmetic",
         [&](auto& b) { b.insert(b.begin() + s.groups[1].end, 0x77); }, 1},
    };
    for (const auto& r : rows) {
        auto bytes = s.bytes;
        r.damage(bytes);
        Walk w = walkAll(bytes);
        ASSERT_EQ(w.groups.size(), r.failingGroup + 1) << r.name;
        EXPECT_EQ(w.groups.back().status, Status::Failed) << r.name;
        EXPECT_FALSE(w.groups.back().reason.empty()) << r.name;
    }
}

TEST(group_walker, a_group_start_is_found_after_leading_bytes_never_inside_an_rtmd_run) {
    Stream s = test::stream({3, 3});
    std::vector<uint8_t> bytes(1000, 0x5A);
    bytes[500] = 0x00, bytes[501] = 0x1C, bytes[502] = 0x01, bytes[503] = 0x00;  // prefix alone
    bytes.insert(bytes.end(), s.bytes.begin(), s.bytes.end());
    EXPECT_EQ(findStart(bytes, 0, {0, {0}}), std::optional<int64_t>(1000));
    EXPECT_EQ(walkAll(bytes, 1000).frames, 6u);
    // A file cut inside the second group: read from its second rtmd sample
    // that group would look like a shorter cut group with shifted samples.
    Stream cut = test::stream({4, 4});
    cut.bytes.resize(size_t(cut.groups[1].frameStarts[2]) + 5);
    EXPECT_EQ(findStart(cut.bytes, cut.groups[1].start + 1, {4, {8008}}), std::nullopt);
    EXPECT_EQ(findStart(cut.bytes, cut.groups[1].start, {4, {8008}}), std::optional<int64_t>(cut.groups[1].start));
}

}  // namespace
}  // namespace tv
