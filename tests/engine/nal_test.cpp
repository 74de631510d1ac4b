// NAL headers, recovery-point SEI, slice headers and picture order counts.
#include "base/bytes.h"
#include "codec/nal.h"
#include "codec/param_sets.h"
#include "synth.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

struct NalRow {
    const char* name;
    VideoCodec codec;
    std::vector<uint8_t> bytes;
    bool ok;
    int type;
};

TEST(nal_header, only_plausible_camera_units_pass) {
    const auto H4 = VideoCodec::H264, H5 = VideoCodec::H265;
    std::vector<NalRow> rows = {
        {"h264 AUD", H4, {0x09}, true, 9}, {"h264 IDR slice", H4, {0x65}, true, 5},
        {"h264 non-ref slice", H4, {0x01}, true, 1}, {"h264 SEI", H4, {0x06}, true, 6},
        {"h264 forbidden bit", H4, {0x89}, false, 0}, {"h264 type 0", H4, {0x00}, false, 0},
        {"h264 reserved type 23", H4, {0x17}, false, 0}, {"h264 IDR without ref idc", H4, {0x05}, false, 0},
        {"h264 AUD with ref idc", H4, {0x29}, false, 0}, {"h264 nothing", H4, {}, false, 0},
        {"h265 AUD", H5, {0x46, 0x01}, true, 35}, {"h265 IDR_W_RADL", H5, {0x26, 0x01}, true, 19},
        {"h265 TRAIL_R tid 2", H5, {0x02, 0x03}, true, 1}, {"h265 prefix SEI", H5, {0x4E, 0x01}, true, 39},
        {"h265 tid_plus1 0", H5, {0x46, 0x00}, false, 0}, {"h265 layer 1", H5, {0x46, 0x09}, false, 0},
        {"h265 reserved type 12", H5, {0x18, 0x01}, false, 0}, {"h265 IRAP with tid 1", H5, {0x26, 0x02}, false, 0},
        {"h265 forbidden bit", H5, {0xC6, 0x01}, false, 0}, {"h265 one byte", H5, {0x46}, false, 0},
    };
    for (const auto& r : rows) {
        auto h = parseNalHeader(r.codec, r.bytes.data(), r.bytes.size());
        EXPECT_EQ(h.has_value(), r.ok) << r.name;
        EXPECT_EQ(h ? h->type : 0, r.type) << r.name;
    }
}

TEST(sei, recovery_point_is_found_after_other_messages) {
    // pic timing (type 1, 2 bytes), then recovery point (type 6, 2 bytes).
    std::vector<uint8_t> sei = {0x06, 0x01, 0x02, 0xAA, 0xBB, 0x06, 0x02, 0x88, 0x00, 0x80};
    EXPECT_TRUE(hasRecoveryPoint(sei.data(), sei.size()));
    std::vector<uint8_t> plain = {0x06, 0x01, 0x02, 0xAA, 0xBB, 0x80};
    EXPECT_FALSE(hasRecoveryPoint(plain.data(), plain.size()));
}

TEST(poc_h264, type0_carries_the_msb_across_lsb_wraps_type2_follows_frame_num) {
    struct Pic {
        bool idr, ref;
        uint32_t frameNum, lsb;
        int64_t poc;
        bool period;
    };
    const std::pair<uint32_t, std::vector<Pic>> rows[] = {
        // log2_max_poc_lsb = 4: lsb wraps at 16. I P B B ... in decode order.
        {0, {{true, true, 0, 0, 0, true}, {false, true, 1, 6, 6, false}, {false, false, 2, 2, 2, false},
             {false, false, 2, 4, 4, false}, {false, true, 2, 12, 12, false}, {false, false, 3, 8, 8, false},
             {false, true, 3, 2, 18, false}, {false, false, 4, 14, 14, false}, {false, true, 4, 8, 24, false},
             {true, true, 0, 0, 0, true}}},
        {2, {{true, true, 0, 0, 0, true}, {false, true, 1, 0, 2, false}, {false, true, 2, 0, 4, false},
             {false, false, 3, 0, 5, false}, {false, true, 3, 0, 6, false}}},
    };
    for (const auto& [pocType, pics] : rows) {
        auto ps = ParameterSets::fromConfig(VideoCodec::H264, {test::h264Sps(pocType), test::h264Pps()});
        ASSERT_TRUE(ps.usable());
        PocCounter poc(ps);
        for (const auto& p : pics) {
            const auto nal = test::h264Slice(p.idr, p.ref, 0, p.frameNum, p.lsb, 4, pocType == 0);
            const auto s = ps.parseSlice(nal.data(), nal.size());
            ASSERT_TRUE(s);
            EXPECT_EQ(s->frameNum, p.frameNum);
            bool period = false;
            EXPECT_EQ(poc.next(*s, &period).value_or(-999), p.poc) << "type " << pocType << ", lsb " << p.lsb;
            EXPECT_EQ(period, p.period) << "type " << pocType << ", poc " << p.poc;
        }
    }
}

TEST(poc_h264, slices_without_parameter_sets_do_not_parse) {
    auto ps = ParameterSets::fromConfig(VideoCodec::H264, {});
    auto nal = test::h264Slice(true, true, 0, 0, 0);
    EXPECT_FALSE(ps.parseSlice(nal.data(), nal.size()));
    auto start = ps.parseSliceStart(nal.data(), nal.size());
    ASSERT_TRUE(start);
    EXPECT_TRUE(start->firstInPicture);
}

// A minimal H.265 SPS/PPS pair: 320x180, CTB 16, POC lsb of 8 bits.
std::vector<std::vector<uint8_t>> hevcParameterSets() {
    test::BitWriter sps;
    sps.u(1, 8);           // vps 0, one sub-layer, temporal id nesting
    sps.u(1, 8);           // general profile: Main
    sps.u(0x60000000, 32);
    sps.u(0, 32);          // 48 bits of flags
    sps.u(0, 16);
    sps.u(93, 8);          // level
    for (uint32_t v : {0, 1, 320, 180}) sps.ue(v);  // sps id, 4:2:0, width, height
    sps.u(0, 1);           // no conformance window
    for (uint32_t v : {0, 0, 4}) sps.ue(v);  // bit depths; log2_max_poc_lsb - 4 = 4 -> 8 bits
    sps.u(1, 1);
    for (uint32_t v : {4, 2, 0, 0, 1}) sps.ue(v);  // sub-layer ordering; min CB 8, CTB 16
    test::BitWriter pps;
    pps.ue(0);
    pps.ue(0);
    pps.u(0, 5);  // no dependent slices, output flag or extra bits
    return {sps.nal({0x42, 0x01}), pps.nal({0x44, 0x01})};
}

std::vector<uint8_t> hevcSlice(int type, bool first, uint32_t address, uint32_t lsb) {
    test::BitWriter w;
    w.u(first, 1);
    if (type >= 16 && type <= 23) w.u(0, 1);
    w.ue(0);
    if (!first) w.u(address, 8);  // ceil(log2(20 * 12 CTBs)) = 8 bits
    w.ue(1);                       // slice type P
    if (type != 19 && type != 20) w.u(lsb, 8);
    w.u(0xFF, 8);
    return w.nal({uint8_t(type << 1), 0x01});
}

TEST(poc_h265, lsb_wraps_and_irap_resets) {
    auto ps = ParameterSets::fromConfig(VideoCodec::H265, hevcParameterSets());
    ASSERT_TRUE(ps.usable());
    PocCounter poc(ps);
    struct Pic { int type; uint32_t lsb; int64_t poc; bool period; };
    // A TRAIL_N (type 0) does not anchor the msb; a CRA that is not first
    // continues the count; an IDR restarts it.
    std::vector<Pic> pics = {{19, 0, 0, true},    {1, 100, 100, false}, {0, 50, 50, false},
                             {1, 200, 200, false}, {1, 40, 296, false},  {1, 250, 250, false},
                             {21, 60, 316, false}, {20, 0, 0, true},     {1, 4, 4, false}};
    for (const auto& p : pics) {
        auto nal = hevcSlice(p.type, true, 0, p.lsb);
        auto s = ps.parseSlice(nal.data(), nal.size());
        ASSERT_TRUE(s) << p.type;
        bool np = false;
        EXPECT_EQ(poc.next(*s, &np).value_or(-1), p.poc) << "lsb " << p.lsb;
        EXPECT_EQ(np, p.period) << "lsb " << p.lsb;
    }
}

TEST(poc_h265, slice_segment_address_needs_the_picture_size) {
    auto ps = ParameterSets::fromConfig(VideoCodec::H265, hevcParameterSets());
    auto nal = hevcSlice(1, false, 120, 7);
    auto s = ps.parseSliceStart(nal.data(), nal.size());
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->firstInPicture);
    EXPECT_EQ(s->address, 120u);
}

}  // namespace
}  // namespace tv
