// The new moov: the edit list's start and duration, and the switch from
// stco to co64.
#include "rsv/assembly.h"
#include "mp4/box.h"
#include "mp4/box_writer.h"
#include "synth.h"
#include "mp4/tables.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

std::vector<uint8_t> fullBox(const char (&type)[5], uint8_t version, size_t payloadWords,
                             std::initializer_list<std::pair<size_t, uint32_t>> set = {}) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.beginFull(fourcc(type), version, 0);
    for (size_t i = 0; i < payloadWords; ++i) w.u32(0);
    w.end();
    for (const auto& [at, value] : set) setBe32(&out[8 + at], value);
    return out;
}

TrackInfo track(uint32_t id, TrackKind kind, uint32_t timescale, uint32_t delta, uint32_t entry) {
    TrackInfo t;
    t.id = id;
    t.kind = kind;
    t.timescale = timescale;
    t.sampleDelta = delta;
    t.entryType = entry;
    t.tkhd = fullBox("tkhd", 0, 20, {{12, id}});
    t.mdhd = fullBox("mdhd", 0, 5, {{12, timescale}});
    t.hdlr = fullBox("hdlr", 0, 6);
    t.mediaHeader = fullBox("nmhd", 0, 0);
    t.dinf = {0, 0, 0, 8, 'd', 'i', 'n', 'f'};
    t.stsd = fullBox("stsd", 0, 1);
    t.hasEdits = true;
    t.edits = {EditEntry{0, 0, 0x10000}};
    return t;
}

Reference makeReference() {
    Reference ref;
    ref.movieTimescale = 1000;
    ref.mvhd = fullBox("mvhd", 0, 24, {{12, 1000}});
    ref.tracks.push_back(track(1, TrackKind::Video, 24000, 1001, fourcc("avc1")));
    ref.tracks.push_back(track(2, TrackKind::Rtmd, 24000, 1001, fourcc("rtmd")));
    ref.tracks.push_back(track(3, TrackKind::Audio, 48000, 1, fourcc("twos")));
    ref.tracks[2].sizes.constant = 4;
    ref.tracks[2].audio = {2, 16, 4};
    ref.video = 0;
    ref.rtmd = 1;
    ref.audio = {2};
    ref.rtmdSampleSize = 64;
    ref.frameDuration = 1001;
    return ref;
}

struct Built {
    std::vector<uint8_t> moov;
    std::vector<Box> tree;
    const Box* trak(size_t i) const { return tree.front().all(fourcc("trak")).at(i); }
    std::vector<uint8_t> payload(const Box* b) const {
        return {moov.begin() + b->header.payloadOffset(), moov.begin() + b->header.end()};
    }
    const Box* stbl(size_t i, const char (&type)[5]) const {
        return trak(i)->path({fourcc("mdia"), fourcc("minf"), fourcc("stbl"), fourcc(type)});
    }
    std::vector<int64_t> offsets(size_t track, const char (&type)[5]) const {
        std::vector<int64_t> out;
        const auto p = payload(stbl(track, type));
        EXPECT_TRUE(readChunkOffsets(p.data(), p.size(), type[2] == '6', out, nullptr));
        return out;
    }
};

// Walks a synthetic stream and builds the moov for it.
Built build(const std::vector<std::vector<uint32_t>>& groupsLsb, uint64_t co64Threshold,
            int64_t payloadBase = 40) {
    static Reference ref;
    ref = makeReference();
    StreamLayout layout = StreamLayout::from(ref);
    layout.codec = VideoCodec::H264;
    auto ps = ParameterSets::fromConfig(VideoCodec::H264, {test::h264Sps(0), test::h264Pps()});
    std::vector<int> frames;
    for (const auto& lsb : groupsLsb) frames.push_back(int(lsb.size()));
    const std::vector<uint8_t> bytes = test::stream(frames, 1, groupsLsb).bytes;
    MemorySource src(bytes);
    GroupWalker walker(src, layout, ps);
    Assembly assembly(ref, layout, ps);
    int64_t pos = 0;
    while (true) {
        GroupResult g = walker.readOneGroup(pos, assembly.clock());
        EXPECT_EQ(g.status, GroupResult::Status::Complete) << g.reason;
        if (g.status != GroupResult::Status::Complete) break;
        assembly.add(g);
        pos = g.end;
        if (g.atEnd) break;
    }
    EXPECT_TRUE(assembly.finish().empty());
    Built b;
    b.moov = assembly.buildMoov(0, payloadBase, co64Threshold);
    MemorySource m(b.moov);
    std::string why;
    auto tree = parseBoxes(m, 0, m.size(), &why);
    EXPECT_TRUE(tree) << why;
    if (tree) b.tree = std::move(*tree);
    return b;
}

// The composition offsets and key frames themselves are proven by the corpus
// (presentation times and key frames against the healthy file); the edit list's
// absolute start is not, as the corpus compares times relative to the first.
TEST(moov, the_edit_list_starts_at_the_first_presented_picture_and_covers_all) {
    // Decode order I0 P6 B2 B4 | P12 B8 B10 (POC lsb), i.e. presentation
    // positions 0 3 1 2 | 6 4 5.
    Built b = build({{0, 6, 2, 4}, {12, 8, 10}}, UINT32_MAX);
    auto elst = b.trak(0)->path({fourcc("edts"), fourcc("elst")});
    ASSERT_NE(elst, nullptr);
    auto ep = b.payload(elst);
    std::vector<EditEntry> edits;
    ASSERT_TRUE(readElst(ep.data(), ep.size(), edits, nullptr));
    ASSERT_EQ(edits.size(), 1u);
    EXPECT_EQ(edits[0].mediaTime, 1001);
    EXPECT_EQ(edits[0].segmentDuration, (7 * 1001 * 1000 + 12000) / 24000);
}

TEST(moov, chunk_offsets_switch_to_co64_above_the_threshold) {
    const std::vector<std::vector<uint32_t>> groups = {{0, 2, 4}, {6, 8, 10}, {12, 14, 16}};
    Built narrow = build(groups, UINT32_MAX);
    for (size_t t = 0; t < 3; ++t) {
        EXPECT_NE(narrow.stbl(t, "stco"), nullptr);
        EXPECT_EQ(narrow.stbl(t, "co64"), nullptr);
    }
    // A 5 GB header shift puts every offset above 32 bits.
    const int64_t base = 5'000'000'000LL;
    const auto offsets = build(groups, UINT32_MAX, base).offsets(0, "co64");
    ASSERT_EQ(offsets.size(), 3u);
    EXPECT_EQ(offsets[0], base + 3 * 64);

    // With the threshold lowered, only tracks with an offset above it switch.
    const auto rtmd = narrow.offsets(1, "stco");
    Built lowered = build(groups, uint64_t(rtmd[1]));  // rtmd's second chunk is not above it
    EXPECT_NE(lowered.stbl(0, "co64"), nullptr);
    ASSERT_NE(lowered.stbl(1, "co64"), nullptr);  // its third chunk is
    EXPECT_EQ(lowered.offsets(1, "co64"), rtmd);
}

}  // namespace
}  // namespace tv
