// Repair without a reference: the layout learnt from the RSV alone, the
// parameter sets written and read back, and in-band parameter sets found.
#include "base/errors.h"
#include "codec/slice_header.h"
#include "mp4/config_record.h"
#include "codec/h265_sets.h"
#include "noref/hevc_one_slice.h"
#include "noref/hevc_search.h"
#include "noref/h264_probe.h"
#include "noref/inband.h"
#include "noref/layout_from_rsv.h"
#include "noref/matrix_fit.h"
#include "noref/picture_check.h"
#include "noref/slice_survey.h"
#include "codec/param_sets.h"
#include "null_reporter.h"
#include "support/scratch.h"
#include "synth.h"

#include <gtest/gtest.h>

#include <cstdlib>
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
    // 25p, 23.976p and 29.97p with each audio layout are the corpus's rows.
    ::testing::Values(LayoutRow{"p24_twos", 24, 24000, 1000, AudioLayout::Twos, 12},
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

// Parameter sets as the search writes them read back to the same bytes
// (the writer is the reader's inverse) and describe the picture they were
// written for; every picture order type and field coding are read alike.
TEST(H264Sets, WrittenSetsReadBackToTheSameBytes) {
    struct Row {
        uint32_t chroma, depth, width, height;
        bool cabac, t8, scaling;
        int32_t qp, chromaOffset;
        uint32_t pocType;
        bool interlaced;
    };
    // CABAC with the 8x8 transform and its matrices, and picture order type 2,
    // are the noref corpus cases' (cqm donor, ip-only).
    for (const Row& row : {Row{1, 8, 320, 180, false, false, false, 20, 2, 1, false},
                           Row{2, 10, 1280, 720, true, false, true, 26, 0, 0, true}}) {
        H264Sps sps;
        sps.setFormat(row.chroma, row.depth);
        sps.setFrameSize(row.width, row.height);
        sps.log2MaxFrameNum = 9;
        sps.pocType = row.pocType;
        sps.log2MaxPocLsb = 7;
        sps.offsetForRefFrame = {2, -1};
        sps.maxRefFrames = 3;
        sps.setTiming(50000, 1000, 1);
        if (row.interlaced) {
            sps.frameMbsOnly = false;
            sps.heightMapUnits = (row.height + 31) / 32;
            sps.cropBottom = 0;
        }
        H264Pps pps;
        pps.cabac = row.cabac;
        pps.transform8x8 = row.t8;
        pps.picInitQp = row.qp;
        pps.chromaQpOffset = pps.secondChromaQpOffset = row.chromaOffset;
        pps.weightedPred = true;
        pps.bipredIdc = 2;
        pps.numRefL0 = 3;
        if (row.scaling) {
            pps.scaling.lists.resize(row.t8 ? 8 : 6);
            pps.scaling.lists[0] = std::vector<int32_t>(16, 1);
            pps.scaling.lists[2] = std::vector<int32_t>{-8};  // the default list
        }
        const auto spsBytes = sps.write(), ppsBytes = pps.write(sps.chromaFormat);
        auto back = H264Sps::parse(spsBytes.data(), spsBytes.size());
        ASSERT_TRUE(back) << row.width;
        EXPECT_EQ(back->write(), spsBytes) << row.width;
        auto backPps = H264Pps::parse(ppsBytes.data(), ppsBytes.size(), {{back->id, *back}});
        ASSERT_TRUE(backPps) << row.width;
        EXPECT_EQ(backPps->write(back->chromaFormat), ppsBytes) << row.width;
        EXPECT_FALSE(H264Pps::parse(ppsBytes.data(), ppsBytes.size(), {})) << "a PPS without its SPS";

        SpsSummary s;
        ASSERT_TRUE(buildCodecConfig(VideoCodec::H264, {spsBytes, ppsBytes}, &s));
        EXPECT_EQ(s.width, row.width);
        EXPECT_EQ(s.height, row.interlaced ? (row.height + 31) / 32 * 32 : row.height);
        EXPECT_EQ(s.bitDepthLuma, row.depth);
    }
}

TEST(H265Sets, WrittenSetsReadBackWithTheirPictureAndHeaderFields) {
    struct Row {
        uint32_t chroma, depth, width, height, log2Ctb, log2MinCb, profile;
        bool dependent, outputFlag;
        uint32_t extraBits;
    };
    // 1080 and 180 lines are no whole number of coding blocks: the window crops
    // them, in chroma rows for 4:2:0 and in luma rows for 4:2:2.
    for (const Row& row : {Row{1, 10, 1920, 1080, 6, 3, 2, false, false, 0},
                           Row{2, 10, 320, 180, 5, 4, 4, true, true, 2}, Row{1, 8, 3840, 2160, 4, 3, 1, false, true, 1}}) {
        H265Params p;
        p.chromaFormat = row.chroma;
        p.bitDepth = row.depth;
        p.width = row.width;
        p.height = row.height;
        p.log2Ctb = row.log2Ctb;
        p.log2MinCb = row.log2MinCb;
        p.log2MaxTb = std::min(5u, row.log2Ctb);
        p.log2MaxPocLsb = 6;
        p.dependentSlices = row.dependent;
        p.outputFlagPresent = row.outputFlag;
        p.extraSliceHeaderBits = row.extraBits;
        p.timeScale = 50000;
        p.unitsInTick = 1000;
        ASSERT_TRUE(p.valid()) << row.width;
        const auto sps = p.sps(), pps = p.pps();
        auto back = H265Sps::parse(sps.data(), sps.size());
        ASSERT_TRUE(back) << row.width;
        EXPECT_EQ(back->width, row.width);
        EXPECT_EQ(back->height, row.height);
        EXPECT_EQ(back->chromaFormat, row.chroma);
        EXPECT_EQ(back->bitDepthLuma, row.depth);
        EXPECT_EQ(back->log2CtbSize, row.log2Ctb);
        EXPECT_EQ(back->log2MaxPocLsb, 6u);
        EXPECT_EQ(back->profile(), row.profile);
        auto backPps = H265Pps::parse(pps.data(), pps.size(), {{back->id, *back}});
        ASSERT_TRUE(backPps) << row.width;
        EXPECT_EQ(backPps->dependentSlicesEnabled, row.dependent);
        EXPECT_EQ(backPps->outputFlagPresent, row.outputFlag);
        EXPECT_EQ(backPps->extraSliceHeaderBits, row.extraBits);
        SpsSummary s;
        ASSERT_TRUE(buildCodecConfig(VideoCodec::H265, h265Nals(p, {0, 3}), &s));
        EXPECT_EQ(s.width, row.width);
    }
}

// A body that writes two PPS (ids 2 and 3) may name either in the slices of
// one picture; the corpus checks what is written for each.
TEST(H264Sets, SlicesOfOnePictureMayNameEitherPps) {
    H264Candidate c;
    c.sps.setFrameSize(320, 180);
    c.pps.id = 2;
    const auto idrSlice = [](uint32_t firstMb, uint32_t ppsId) {
        test::BitWriter w;
        w.ue(firstMb);
        w.ue(7);      // I
        w.ue(ppsId);
        w.u(0, 4);    // frame_num
        w.ue(0);      // idr_pic_id
        w.u(0, 4);    // POC lsb
        w.u(0, 2);    // no_output_of_prior_pics, long_term_reference
        w.se(0);      // slice_qp_delta
        w.u(0xA5, 8); // slice data (CAVLC)
        return w.nal({0x65});
    };
    GopPicture pic;
    for (auto [mb, id] : {std::pair<uint32_t, uint32_t>{0, 2}, {40, 3}}) pic.slices.push_back({idrSlice(mb, id), 5});
    c.pps.cabac = c.pps.deblockingControl = false;
    EXPECT_TRUE(parseGop({pic}, c));
    EXPECT_EQ(ppsIdsNamed({pic}), (std::vector<uint32_t>{2, 3}));
}

// The fit finds the least step of a narrow valley running along DC and
// slope together (a step along one coordinate alone climbs out of it),
// within its budget, past shapes that do not decode.
TEST(MatrixFit, FindsTheLeastStepAlongAValleyWithinItsBudget) {
    struct Row {
        const char* name;
        MatrixShape truth;
        size_t budget;
        bool found;
    };
    const Row rows[] = {{"a steep body with 16 at DC", {16, 6}, 40, true},
                        {"an off-grid body", {13, 4.5}, 40, true},
                        {"a flat body", {16, 0}, 40, true},
                        {"no budget", {16, 6}, 0, false}};
    for (const Row& row : rows) {
        size_t calls = 0;
        const auto step = [&](const MatrixShape& s) -> std::optional<double> {
            ++calls;
            if (s.dc == 12 && s.slope == 2) return std::nullopt;  // does not decode
            const double across = (s.dc - row.truth.dc) - 2 * (s.slope - row.truth.slope);
            const double along = (s.dc - row.truth.dc) + 2 * (s.slope - row.truth.slope);
            return 1 + across * across + 0.01 * along * along;
        };
        const auto fit = fitShape(step, {12, 4}, row.budget);
        EXPECT_EQ(bool(fit), row.found) << row.name;
        EXPECT_LE(calls, row.budget) << row.name;
        if (fit) {
            EXPECT_EQ(fit->shape, row.truth) << row.name << ": " << fit->shape.describe();
        }
    }
    // DC 16 and no slope is flat, in six 4x4 lists and two 8x8 ones.
    const std::vector<uint8_t> four(16, 16), eight(64, 16);
    EXPECT_EQ(MatrixShape{}.lists(), ScalingLists::fromValues({four, four, four, four, four, four, eight, eight}));
}

// Slice headers under candidate parameters: what the search's filter keeps
// and the rows it must throw out.
TEST(SliceHeaderFilter, KeepsConsistentHeadersOnly) {
    H264Sps sps;
    sps.log2MaxFrameNum = 4;
    sps.log2MaxPocLsb = 5;
    H264Pps pps;
    pps.cabac = true;
    pps.deblockingControl = true;
    pps.weightedPred = true;
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
        auto h = H264SliceHeader::parse(nal.data(), nal.size(), sps, pps, H264SliceHeader::Extent::Whole);
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

// A picture of one slice: its variants change only the slice's data, the
// added ones never form a start code, and the changed tail spares the stop
// bit's byte and any zero words after it.
TEST(OneSlicePictures, VariantsChangeOnlyTheSliceDataAtItsEnd) {
    const auto unit = [](std::vector<uint8_t> nal) {
        const uint32_t n = uint32_t(nal.size());
        nal.insert(nal.begin(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        return nal;
    };
    const std::vector<uint8_t> aud = unit({0x46, 0x01, 0x50});
    std::vector<uint8_t> data(40, 0x35);
    data.back() = 0x80;  // the stop bit
    std::vector<uint8_t> slice{0x28, 0x01};
    slice.insert(slice.end(), data.begin(), data.end());
    std::vector<uint8_t> zeroWords = slice;
    zeroWords.insert(zeroWords.end(), {0x00, 0x00, 0x03, 0x00, 0x00, 0x03});
    const auto sample = [&](std::initializer_list<std::vector<uint8_t>> nals) {
        std::vector<uint8_t> out = aud;
        for (const auto& n : nals) out.insert(out.end(), n.begin(), n.end());
        return out;
    };
    const auto added = withBytesAfterSlice(sample({unit(slice)}));
    ASSERT_TRUE(added);
    EXPECT_EQ(std::vector<uint8_t>(added->begin(), added->begin() + long(aud.size())), aud);
    EXPECT_EQ(added->size(), aud.size() + 4 + slice.size() + 96);
    EXPECT_TRUE(std::equal(slice.begin(), slice.end(), added->begin() + long(aud.size()) + 4));
    EXPECT_EQ(std::count(added->end() - 96, added->end(), 0xff), 96);
    for (const auto& s : {slice, zeroWords}) {
        const auto changed = withSliceTailChanged(sample({unit(s)}));
        ASSERT_TRUE(changed);
        const size_t at = aud.size() + 4, stop = at + 2 + data.size() - 1;
        for (size_t i = 0; i < changed->size(); ++i)
            EXPECT_EQ((*changed)[i] != sample({unit(s)})[i], i >= stop - 6 && i < stop) << "byte " << i;
    }
    // Rows that must fail: two slices, a slice too short to have a tail, a broken length.
    EXPECT_FALSE(withBytesAfterSlice(sample({unit(slice), unit(slice)})));
    EXPECT_FALSE(withSliceTailChanged(sample({unit({0x28, 0x01, 0x35, 0x80})})));
    std::vector<uint8_t> broken = sample({unit(slice)});
    broken[aud.size() + 3] += 1;
    EXPECT_FALSE(withBytesAfterSlice(broken));
}

// Test sizes come only through the environment, first; never by default.
TEST(OneSlicePictures, FrameSizesAreTheCamerasUnlessATestAddsItsOwn) {
    const auto has = [](const auto& sizes, uint32_t w, uint32_t h) {
        return std::find(sizes.begin(), sizes.end(), std::pair{w, h}) != sizes.end();
    };
    unsetenv("TORVELIN_TEST_FRAME_SIZES");
    const auto cameras = oneSliceFrameSizes();
    EXPECT_TRUE(has(cameras, 1920, 1080) && has(cameras, 3840, 2160));
    EXPECT_FALSE(has(cameras, 320, 180));
    setenv("TORVELIN_TEST_FRAME_SIZES", "320x180,junk,8x8,640x360", 1);
    const auto test = oneSliceFrameSizes();
    unsetenv("TORVELIN_TEST_FRAME_SIZES");
    ASSERT_EQ(test.size(), cameras.size() + 2);
    EXPECT_EQ(test[0], std::pair(320u, 180u));
    EXPECT_EQ(test[1], std::pair(640u, 360u));
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

// A short libx264 stream as the search's candidate and samples (an access unit per delimiter).
std::pair<H264Candidate, std::vector<std::vector<uint8_t>>> encoded(const std::string& vf, const std::string& x264) {
    Scratch dir;
    std::system(("ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=s=160x96:r=25 -frames:v 8 -vf '" + vf +
                 "' -c:v libx264 -x264-params aud=1:bframes=0:slices=2:" + x264 + " '" + dir / "s.h264" + "'").c_str());
    const std::string d = readFile(dir / "s.h264"), code("\0\0\1", 3);
    std::pair<H264Candidate, std::vector<std::vector<uint8_t>>> out;
    std::map<uint32_t, H264Sps> sps;
    for (size_t at = d.find(code), next; at != std::string::npos; at = next) {
        next = d.find(code, at + 3);
        std::vector<uint8_t> nal(d.begin() + long(at) + 3, d.begin() + long(std::min(next, d.size())));
        while (nal.back() == 0) nal.pop_back();
        const int type = nal[0] & 31;
        if (type == 7) sps[0] = H264Sps::parse(nal.data(), nal.size()).value();
        if (type == 8) out.first = {sps.at(0), H264Pps::parse(nal.data(), nal.size(), sps).value(), {}, {}};
        if (type == 9) out.second.emplace_back();  // libx264 starts each access unit with its delimiter
        if (type != 7 && type != 8) test::appendLengthPrefixed(out.second.back(), nal);
    }
    return out;
}

// Right decodes pass whatever their content; residuals several times too
// large are refused, on dark pictures too, where they hide in black.
TEST(PictureCheck, RefusesResidualsTooLargeOnAnyContent) {
    const char *dark = "lutyuv=y=val/40:u=128:v=128", *dark10 = "lutyuv=y=val/40,format=yuv420p10le";
    struct Row { const char *what, *vf, *x264; double residual; int32_t qp; bool pictures; } rows[] = {
        {"ordinary, matrices x4", "null", "cabac=1", 4, 0, false},
        {"a fade, weighted prediction", "fade=t=out:d=0.32", "weightp=2", 1, 0, true},
        {"dark", dark, "cabac=0", 1, 0, true},
        {"dark, initial QP 14 too high", dark, "cabac=0", 1, 14, false},
        {"dark 10-bit, the standard's matrices", dark10, "cqm=jvt", 1, 0, true},
        {"dark 10-bit, matrices x16", dark10, "cqm=jvt", 16, 0, false},
    };
    for (const Row& row : rows) {
        const auto [coded, samples] = encoded(row.vf, row.x264);
        ASSERT_FALSE(samples.empty()) << row.what;
        // The lists in force, written out, decode as the stream's own (default lists, fall-backs).
        EXPECT_EQ(probeH264(withResidualScaled(coded, 1).avcC(), samples).hash,
                  probeH264(coded.avcC(), samples).hash) << row.what;
        H264Candidate c = withResidualScaled(coded, row.residual);
        c.pps.picInitQp += row.qp;
        const PictureVerdict v = judgePictures(c, samples);
        EXPECT_EQ(v.pictures, row.pictures) << row.what << ": " << v.why;
    }
}
}  // namespace
}  // namespace tv
