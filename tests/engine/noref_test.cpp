// Repair without a reference: the layout learnt from the RSV alone, the
// parameter sets written and read back, and in-band parameter sets found.
#include "base/errors.h"
#include "codec/h264_params.h"
#include "mp4/config_record.h"
#include "noref/inband.h"
#include "noref/layout_from_rsv.h"
#include "codec/param_sets.h"
#include "null_reporter.h"
#include "synth.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tv {
namespace {

// rtmd header with its two lengths adding up to the sample size and the
// nominal frame rate at bytes 18..19, as the cameras write it.
void stampRtmd(std::vector<uint8_t>& data, int64_t at, uint32_t size, uint16_t rate) {
    const uint32_t sets = 40;
    data[size_t(at) + 4] = uint8_t(sets >> 8);
    data[size_t(at) + 5] = uint8_t(sets);
    data[size_t(at) + 6] = uint8_t((size - 28 - sets) >> 8);
    data[size_t(at) + 7] = uint8_t(size - 28 - sets);
    data[size_t(at) + 18] = uint8_t(rate >> 8);
    data[size_t(at) + 19] = uint8_t(rate);
}

struct LayoutRow {
    const char* name;
    uint16_t headerRate;
    uint32_t timescale, duration;
    AudioLayout audio;
    int frames;
};

class LearnLayout : public ::testing::TestWithParam<LayoutRow> {};

TEST_P(LearnLayout, FindsRateAndAudioFromTheGroups) {
    const LayoutRow& row = GetParam();
    const uint32_t rtmdSize = 256;
    const StreamLayout truth = candidateLayout(VideoCodec::H264, rtmdSize, row.timescale, row.duration, row.audio);
    std::vector<uint8_t> data;
    std::vector<int64_t> placed(truth.audio.size(), 0);
    for (int g = 0; g < 3; ++g) {
        size_t audioBytes = 0;
        for (size_t t = 0; t < truth.audio.size(); ++t) {
            int64_t n = truth.audioFramesFor(t, int64_t(g) * row.frames, row.frames, placed[t]);
            placed[t] += n;
            audioBytes += size_t(n) * truth.audio[t].bytesPerFrame;
        }
        auto grp = test::appendGroup(data, row.frames, 2, rtmdSize, audioBytes, g * row.frames);
        for (int i = 0; i < row.frames; ++i) stampRtmd(data, grp.start + i * int64_t(rtmdSize), rtmdSize, row.headerRate);
    }
    // An interrupted group: its rtmd run and part of a picture.
    auto tail = test::appendGroup(data, row.frames, 2, rtmdSize, 0, 3 * row.frames);
    for (int i = 0; i < row.frames; ++i) stampRtmd(data, tail.start + i * int64_t(rtmdSize), rtmdSize, row.headerRate);
    data.resize(size_t(tail.videoStart) + 20);

    MemorySource src(data);
    test::NullReporter rep;
    const ParameterSets none = ParameterSets::fromConfig(VideoCodec::H264, {});
    RsvRecording rec = learnRecording(src, none, rep);
    EXPECT_EQ(rec.layout.rtmdSize, rtmdSize);
    EXPECT_EQ(rec.layout.videoTimescale, row.timescale);
    EXPECT_EQ(rec.layout.frameDuration, row.duration);
    EXPECT_EQ(rec.audio, row.audio);
    ASSERT_EQ(rec.groupStarts.size(), 3u);
    EXPECT_EQ(rec.groupStarts[1], size_t(row.frames));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LearnLayout,
    ::testing::Values(LayoutRow{"p25_twos", 25, 25000, 1000, AudioLayout::Twos, 12},
                      LayoutRow{"p23976_ipcm4", 24, 24000, 1001, AudioLayout::Ipcm4, 12},
                      LayoutRow{"p2997_twos", 30, 30000, 1001, AudioLayout::Twos, 15},
                      LayoutRow{"p24_twos", 24, 24000, 1000, AudioLayout::Twos, 12},
                      LayoutRow{"p50_no_audio", 50, 50000, 1000, AudioLayout::None, 24},
                      // A header rate that is no help: the audio arithmetic alone decides.
                      LayoutRow{"p50_header_zero", 0, 50000, 1000, AudioLayout::Ipcm4, 24}),
    [](const auto& info) { return std::string(info.param.name); });

// Damage inside the first group: the layout is learnt from the groups after it.
TEST(LearnLayout, SkipsADamagedFirstGroup) {
    const StreamLayout truth = candidateLayout(VideoCodec::H264, 256, 25000, 1000, AudioLayout::Twos);
    std::vector<uint8_t> data;
    std::vector<test::SynthGroup> groups;
    for (int g = 0; g < 4; ++g) {
        groups.push_back(test::appendGroup(data, 12, 2, 256, 23040 * 4, g * 12));
        for (int i = 0; i < 12; ++i) stampRtmd(data, groups.back().start + i * 256, 256, 25);
    }
    std::fill(data.begin() + groups[0].frameStarts[3], data.begin() + groups[0].frameStarts[6], 0);
    MemorySource src(data);
    test::NullReporter rep;
    const ParameterSets none = ParameterSets::fromConfig(VideoCodec::H264, {});
    RsvRecording rec = learnRecording(src, none, rep);
    EXPECT_EQ(rec.audio, AudioLayout::Twos);
    EXPECT_EQ(rec.layout.videoTimescale, truth.videoTimescale);
    ASSERT_FALSE(rec.frames.empty());
    EXPECT_EQ(rec.frames.front().offset, groups[1].frameStarts[0]);
}

// A recording cut inside its first group: its pictures are kept on the
// header's rate (no audio is kept either way); without a usable header rate,
// or without a whole picture, nothing can be settled.
TEST(LearnLayout, FirstGroupCut) {
    struct Row {
        const char* name;
        uint16_t rate;
        size_t keep;  // bytes kept of a one-group recording
        bool accepted;
        uint32_t timescale, duration;
    };
    for (const Row& row : {Row{"pictures cut, 25p header", 25, 12 * 256 + 600, true, 25000, 1000},
                           Row{"pictures cut, 30p header", 30, 12 * 256 + 600, true, 30000, 1001},
                           Row{"pictures cut, no rate", 0, 12 * 256 + 600, false, 0, 0},
                           Row{"rtmd run only", 25, 12 * 256, false, 0, 0},
                           Row{"inside the rtmd run", 25, 3000, false, 0, 0}}) {
        std::vector<uint8_t> data;
        auto g = test::appendGroup(data, 12, 2, 256, 92160);
        for (int i = 0; i < 12; ++i) stampRtmd(data, g.start + i * 256, 256, row.rate);
        data.resize(row.keep);
        MemorySource src(data);
        test::NullReporter rep;
        const ParameterSets none = ParameterSets::fromConfig(VideoCodec::H264, {});
        try {
            RsvRecording rec = learnRecording(src, none, rep);
            EXPECT_TRUE(row.accepted) << row.name;
            EXPECT_EQ(rec.layout.videoTimescale, row.timescale) << row.name;
            EXPECT_EQ(rec.layout.frameDuration, row.duration) << row.name;
            EXPECT_EQ(rec.audio, AudioLayout::None) << row.name;
            EXPECT_FALSE(rec.frames.empty()) << row.name;
        } catch (const EngineError& e) {
            EXPECT_FALSE(row.accepted) << row.name << ": " << e.what();
            EXPECT_TRUE(e.kind() == EngineError::Kind::ReferenceNeeded || e.kind() == EngineError::Kind::Input)
                << row.name;
        }
    }
}

// Parameter sets as the search writes them must read back field for field
// and describe the picture they were written for (the sample entry built
// from them is proven by the corpus's decoded pictures).
TEST(H264Params, WrittenSetsReadBack) {
    struct Row {
        uint32_t chroma, depth, width, height;
        bool cabac, t8, scaling;
        int32_t qp, chromaOffset;
    };
    for (const Row& row : {Row{1, 8, 1920, 1080, true, true, false, 26, 0},
                           Row{2, 10, 3840, 2160, true, true, true, 30, -2},
                           Row{1, 8, 320, 180, false, false, false, 20, 2},
                           Row{2, 10, 1280, 720, true, false, true, 26, 0}}) {
        H264Params p;
        p.setFormat(row.chroma, row.depth);
        p.setFrameSize(row.width, row.height);
        p.log2MaxFrameNum = 9;
        p.log2MaxPocLsb = 7;
        p.maxRefFrames = 3;
        p.cabac = row.cabac;
        p.transform8x8 = row.t8;
        p.picInitQp = row.qp;
        p.chromaQpOffset = p.secondChromaQpOffset = row.chromaOffset;
        p.weightedPred = true;
        p.bipredIdc = 2;
        p.numRefL0 = 3;
        p.timescale = 50000;
        p.frameDuration = 1000;
        p.reorderFrames = 1;
        if (row.scaling) {
            p.ppsScaling.lists.resize(row.t8 ? 8 : 6);
            p.ppsScaling.lists[0] = std::vector<int32_t>(16, 1);
            p.ppsScaling.lists[2] = std::vector<int32_t>{-8};  // the default list
        }
        auto back = readH264Params(p.spsNal(), p.ppsNal());
        ASSERT_TRUE(back) << row.width;
        auto fields = [](const H264Params& h) {
            return std::make_tuple(h.chroma, h.bitDepth, h.widthMbs, h.heightMbs, h.log2MaxFrameNum, h.log2MaxPocLsb,
                                   h.maxRefFrames, h.cabac, h.transform8x8, h.picInitQp, h.chromaQpOffset,
                                   h.weightedPred, h.bipredIdc, h.numRefL0, h.ppsScaling.lists);
        };
        EXPECT_EQ(fields(*back), fields(p));

        SpsSummary s;
        auto config = buildCodecConfig(VideoCodec::H264, {p.spsNal(), p.ppsNal()}, &s);
        ASSERT_TRUE(config);
        EXPECT_EQ(s.width, row.width);
        EXPECT_EQ(s.height, row.height);
        EXPECT_EQ(s.bitDepthLuma, row.depth);
    }
}

// Slice headers under candidate parameters: what the search's filter keeps
// and the rows it must throw out.
TEST(SliceHeaderFilter, KeepsConsistentHeadersOnly) {
    H264Params p;
    p.log2MaxFrameNum = 4;
    p.log2MaxPocLsb = 5;
    p.cabac = true;
    p.deblockingControl = true;
    p.weightedPred = true;
    struct Row {
        const char* name;
        bool idr = true, cabacOnes = true;
        uint32_t frameNum = 0, ppsId = 0, firstData = 0x0A5, disableDeblocking = 0;
        bool parses = true;
    };
    const Row rows[] = {
        {"IDR"},
        {"P slice with a weight table", false},
        {"IDR with a frame number", true, true, 3, 0, 0x0A5, 0, false},
        {"another PPS", true, true, 0, 1, 0x0A5, 0, false},
        {"CABAC alignment bit zero", true, false, 0, 0, 0x0A5, 0, false},
        {"arithmetic decoder offset 510", true, true, 0, 0, 510, 0, false},
        {"deblocking mode out of range", true, true, 0, 0, 0x0A5, 3, false},
    };
    for (const Row& row : rows) {
        test::BitWriter w;
        w.ue(40);                 // first_mb_in_slice
        w.ue(row.idr ? 7 : 5);    // I or P, all slices alike
        w.ue(row.ppsId);
        w.u(row.frameNum + (row.idr ? 0 : 1), 4);
        if (row.idr) w.ue(2);     // idr_pic_id
        w.u(6, 5);                // POC lsb
        if (!row.idr) {
            w.u(1, 1);            // num_ref_idx_active_override
            w.ue(1);              // two references
            w.u(0, 1);            // no list modification
            w.ue(5);              // luma_log2_weight_denom
            w.ue(5);              // chroma_log2_weight_denom
            for (int i = 0; i < 2; ++i) {
                w.u(1, 1);
                w.se(40);
                w.se(-3);
                w.u(0, 1);
            }
        }
        if (row.idr) w.u(0, 2);   // no_output_of_prior_pics, long_term_reference
        else w.u(0, 1);           // sliding window
        if (!row.idr) w.ue(1);    // cabac_init_idc
        w.se(-4);                 // slice_qp_delta
        w.ue(row.disableDeblocking);
        if (row.disableDeblocking != 1) {
            w.se(0);
            w.se(0);
        }
        // Up to the byte boundary with cabac_alignment_one_bit, then data:
        // the writer's position is not exposed, so pad with a known length.
        std::vector<uint8_t> nal = w.nal({uint8_t(row.idr ? 0x65 : 0x41)});
        // Rewrite the tail: drop the trailing bits byte and append the data.
        while (!nal.empty() && nal.back() == 0) nal.pop_back();
        uint8_t& last = nal.back();
        int stop = 0;
        while (!((last >> stop) & 1)) ++stop;
        if (row.cabacOnes) last |= uint8_t((1u << (stop + 1)) - 1);  // stop bit and below become ones
        else last &= uint8_t(~(1u << stop));
        nal.push_back(uint8_t(row.firstData >> 1));
        nal.push_back(uint8_t((row.firstData & 1) << 7 | 0x35));
        nal.push_back(0x80);
        auto h = parseSliceHeader(nal.data(), nal.size(), p);
        EXPECT_EQ(h.has_value(), row.parses) << row.name;
        if (h && row.parses) {
            EXPECT_EQ(h->firstMb, 40u) << row.name;
            EXPECT_EQ(h->pocLsb, 6u) << row.name;
            EXPECT_EQ(h->qpDelta, -4) << row.name;
            EXPECT_EQ(h->usesWeights, !row.idr) << row.name;
            EXPECT_EQ(h->numRefL0, row.idr ? 1u : 2u) << row.name;
        }
    }
}

TEST(Inband, FindsParameterSetsBeforeTheFirstSlice) {
    const auto sps = test::h264Sps(0), pps = test::h264Pps();
    std::vector<uint8_t> data;
    FrameInfo f;
    f.offset = 0;
    test::appendLengthPrefixed(data, {0x09, 0xF0});
    test::appendLengthPrefixed(data, sps);
    test::appendLengthPrefixed(data, pps);
    test::appendLengthPrefixed(data, test::h264Slice(true, true, 0, 0, 0));
    // A parameter-set-like unit after the slice is slice data territory: not taken.
    test::appendLengthPrefixed(data, {0x67, 0x42, 0x00});
    f.size = uint32_t(data.size());
    FrameInfo again = f;  // the same sets repeated in a later picture count once
    MemorySource src(data);
    auto found = inbandParameterSets(src, VideoCodec::H264, 4, {f, again});
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], sps);
    EXPECT_EQ(found[1], pps);

    FrameInfo none;
    none.offset = int64_t(data.size());
    test::appendLengthPrefixed(data, {0x09, 0xF0});
    test::appendLengthPrefixed(data, test::h264Slice(false, true, 0, 1, 2));
    none.size = uint32_t(data.size() - size_t(none.offset));
    MemorySource src2(data);
    EXPECT_TRUE(inbandParameterSets(src2, VideoCodec::H264, 4, {none}).empty());
}

}  // namespace
}  // namespace tv
