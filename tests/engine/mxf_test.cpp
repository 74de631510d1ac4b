// MXF-family pieces on synthetic bytes: KLV headers, what the start-code
// scan refuses, the avcC from a real SPS, and the
// walk over frame-wrapped content packages cut and damaged in chosen places.
#include "mxf/mxf_klv.h"
#include "mxf/mxf_mp4.h"
#include "mxf/mxf_walk.h"
#include "null_reporter.h"

#include <gtest/gtest.h>

#include <functional>

namespace tv {
namespace {

std::vector<uint8_t> hexBytes(const char* h) {
    std::vector<uint8_t> v;
    for (; h[0] && h[1]; h += 2) v.push_back(uint8_t(std::stoi(std::string(h, 2), nullptr, 16)));
    return v;
}

const char kPictureKey[] = "060e2b34010201010d01030115010500";
const char kSoundKey1[] = "060e2b34010201010d01030116020300";
const char kSoundKey2[] = "060e2b34010201010d01030116020301";
const char kFillKey[] = "060e2b34010101020301021001000000";
const char kBodyPartition[] = "060e2b34020501010d01020101030400";

void appendKlv(std::vector<uint8_t>& out, const char* key, const std::vector<uint8_t>& value) {
    auto k = hexBytes(key);
    out.insert(out.end(), k.begin(), k.end());
    out.push_back(0x83);
    out.push_back(uint8_t(value.size() >> 16));
    out.push_back(uint8_t(value.size() >> 8));
    out.push_back(uint8_t(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

TEST(MxfKlv, HeadersAndLengths) {
    struct Row {
        const char* bytes;
        bool ok;
        uint64_t length;
        int64_t valueOffset;
    } rows[] = {
        {"060e2b34010201010d0103011501050005", true, 5, 17},
        {"060e2b34010201010d01030115010500830001f4", true, 500, 20},
        {"060e2b34010201010d0103011501050088000000000000000a", true, 10, 25},
        {"060e2b34010201010d0103011501050080", false, 0, 0},    // BER 0x80: indefinite, not MXF
        {"060e2b34010201010d0103011501050089", false, 0, 0},    // nine length bytes
        {"060e2b34010201010d01030115010500830001", false, 0, 0},  // length field cut
        {"060e2b34010201010d010301150105", false, 0, 0},        // key cut
        {"060e2b34090201010d0103011501050005", false, 0, 0},    // not a registry a recording uses
        {"000000010201010d010301150105000005", false, 0, 0},
    };
    for (const auto& r : rows) {
        auto b = hexBytes(r.bytes);
        MemorySource src(b);
        auto k = readKlv(src, 0);
        ASSERT_EQ(k.has_value(), r.ok) << r.bytes;
        if (!k) continue;
        EXPECT_EQ(k->length, r.length) << r.bytes;
        EXPECT_EQ(k->valueOffset, r.valueOffset) << r.bytes;
    }
}

// Misplaced start codes (the 16-byte scan) are the corpus's: every picture decodes byte-exact.
TEST(MxfAnnexB, RefusesWhatIsNotAByteStream) {
    const char* rows[] = {
        "0000000000",                    // zeros only
        "6588840000000165",               // no start code first
        "00000180aabb",                   // forbidden bit set
        "0000016588000001e5",             // the second unit has its forbidden bit set
        "000001658800000088",             // zeros inside a unit (no encoder writes 00 00 00 there)
        "000001658800000288",             // 00 00 02 inside a unit
    };
    for (const char* r : rows) {
        auto b = hexBytes(r);
        std::vector<uint8_t> out = {1, 2};
        EXPECT_FALSE(annexBToLengthPrefixed(b.data(), b.size(), out, nullptr)) << r;
        EXPECT_EQ(out.size(), 2u) << r;
    }
    auto b = hexBytes("00000001091000000167aa0000000168bb000001658800000000");
    std::vector<uint8_t> out;
    AnnexBPicture info;
    ASSERT_TRUE(annexBToLengthPrefixed(b.data(), b.size(), out, &info));
    EXPECT_EQ(out, hexBytes("0000000209100000000267aa0000000268bb000000026588"));
    EXPECT_TRUE(info.idr);
    EXPECT_EQ(info.sps, hexBytes("67aa"));
    EXPECT_EQ(info.pps, hexBytes("68bb"));
}

TEST(MxfAnnexB, AvcConfigFromAHigh422Sps) {
    // 320x180 High 4:2:2 Intra, 10-bit (x264): 192 coded lines cropped to 180.
    auto sps = hexBytes("677a100cb6cb82833f1b80880000030008000003019020");
    auto pps = hexBytes("68ee0f2c8b");
    auto c = makeAvcConfig(sps, pps);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->width, 320u);
    EXPECT_EQ(c->height, 180u);
    std::vector<uint8_t> head(c->avcC.begin(), c->avcC.begin() + 6);
    EXPECT_EQ(head, hexBytes("017a100cffe1"));
    std::vector<uint8_t> tail(c->avcC.end() - 4, c->avcC.end());
    EXPECT_EQ(tail, hexBytes("fefafa00"));  // 4:2:2, 10-bit luma and chroma
    EXPECT_FALSE(makeAvcConfig(hexBytes("677a"), pps));
}

MxfSettings twoTrackSettings() {
    MxfSettings s;
    s.editRate = {25, 1};
    s.pictureTrack = 0x15010500;
    for (uint32_t n : {0x16020300u, 0x16020301u}) s.sounds.push_back({n, 48000, 1, 24, 3});
    return s;
}

struct Clip {
    std::vector<uint8_t> bytes;
    std::vector<size_t> packageStart;
};

// A body partition, then packages of a picture, a fill and two sound elements.
Clip makeClip(int packages) {
    Clip c;
    appendKlv(c.bytes, kBodyPartition, std::vector<uint8_t>(88, 0));
    for (int i = 0; i < packages; ++i) {
        c.packageStart.push_back(c.bytes.size());
        std::vector<uint8_t> pic = {0, 0, 0, 1, 0x65, 0x88, uint8_t(i), 0x10};
        pic.resize(300 + 7 * size_t(i), uint8_t(0x40 + i));
        appendKlv(c.bytes, kPictureKey, pic);
        appendKlv(c.bytes, kFillKey, std::vector<uint8_t>(13, 0));
        appendKlv(c.bytes, kSoundKey1, std::vector<uint8_t>(5760, uint8_t(i)));
        appendKlv(c.bytes, kSoundKey2, std::vector<uint8_t>(5760, uint8_t(i + 1)));
    }
    return c;
}

// Cuts, zero bytes after the last package, and damage inside a picture, a
// sound element or a system item are the corpus's rows (against a real
// recording, whose system items count the packages); these are the ones it
// does not make or does not tell apart.
// Each package reads as three characters: the number of the package its
// picture, first and second sound come from, '-' where that element is lost.
TEST(MxfWalk, KeepsWhatDamageLeavesInItsPlace) {
    const int n = 8;
    const Clip base = makeClip(n);
    auto at = [&](int pkg, size_t delta) { return long(base.packageStart[size_t(pkg)] + delta); };
    const std::string all = "000 111 222 333 444 555 666 777";
    struct Row {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> change;
        std::string kept;
        int64_t skippedRanges;
    } rows[] = {
        {"intact", [](auto&) {}, all, 0},
        {"cut in the last sound, then zero bytes", [&](auto& b) { std::fill(b.begin() + at(6, 0) - 2000, b.end(), 0); },
         "000 111 222 333 444", 0},
        {"zeros from a picture's end over a whole package, counted by the bytes per package",
         [&](auto& b) { std::fill(b.begin() + at(3, 100), b.begin() + at(5, 30), 0); },
         "000 111 222 --- --- -55 666 777", 1},
        {"starts inside a package", [&](auto& b) { b.erase(b.begin(), b.begin() + at(1, 50)); },
         "222 333 444 555 666 777", 0},
        {"sound element not whole sample frames",
         [&](auto& b) {
             long s2 = at(1, 0) + (20 + 307) + 33 + (20 + 5760);
             b[size_t(s2 + 19)] += 1;  // 5761 bytes, and one more byte so the packets still chain
             b.insert(b.begin() + s2 + 20, 0x55);
         },
         "000 11- 222 333 444 555 666 777", 1},
        {"a package without its second sound",
         [&](auto& b) {
             long s2 = at(5, 0) + (20 + 335) + 33 + (20 + 5760);
             b.erase(b.begin() + s2, b.begin() + s2 + 20 + 5760);
         },
         "000 111 222 333 444 55- 666 777", 0},
    };
    for (const auto& r : rows) {
        std::vector<uint8_t> b = base.bytes;
        r.change(b);
        MemorySource src(b);
        test::NullReporter rep;
        MxfWalk w = walkMxf(src, twoTrackSettings(), rep);
        std::string kept;
        for (size_t p = 0; p < w.packages(); ++p) {
            if (p) kept += ' ';
            for (size_t e = 0; e < 3; ++e) {
                ASSERT_EQ(w.lengths[p * 3 + e], e ? 5760u : w.lengths[p * 3]) << r.name << ": silence of its length";
                kept += w.lost(p, e) ? '-' : char('0' + b[size_t(w.offsets[p * 3 + e]) + (e ? 0 : 6)] - (e == 2));
            }
        }
        EXPECT_EQ(kept, r.kept) << r.name;
        EXPECT_EQ(w.skippedRanges, r.skippedRanges) << r.name;
        EXPECT_TRUE(w.foreignTracks.empty()) << r.name;
    }
}

}  // namespace
}  // namespace tv
