// What the scan shows of a recording before the start: an RSV's first group
// read as the camera wrote it, a candidate's Probe result, and the match.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "scan/clip_info.h"
#include "support/scratch.h"

namespace {

using Bytes = std::string;

// One rtmd sample of `size` bytes whose header names `rate` frames per second.
Bytes rtmd(uint16_t rate, size_t size = 1024) {
    Bytes b(size, '\0');
    const unsigned char head[12] = {0x00, 0x1C, 0x01, 0x00, 0, 0, uint8_t((size - 28) >> 8), uint8_t(size - 28),
                                    0xF0, 0x01, 0x00, 0x10};
    std::copy(head, head + 12, b.begin());
    b[18] = char(rate >> 8);
    b[19] = char(rate);
    return b;
}

Bytes nal(const std::vector<uint8_t>& unit) {
    const uint32_t n = uint32_t(unit.size());
    Bytes b{char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return b + Bytes(unit.begin(), unit.end());
}

Bytes h264Picture() { return nal({0x09, 0x10}) + nal({0x65, 0x88, 0x80, 0x40}); }

// High profile, 320x180 (cropped from 12 macroblock rows), as libx264 writes it.
const std::vector<uint8_t> kSps320x180 = {0x67, 0x64, 0x00, 0x0C, 0xAC, 0xD9, 0x41, 0x41, 0x9F, 0x9F, 0x01,
                                          0x10, 0x00, 0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20,
                                          0xF1, 0x42, 0x99, 0x60};

const Bytes kHevcPicture = nal({0x46, 0x01, 0x50}) + nal({0x26, 0x01, 0xAF});
// A reference-style head an unfinished file may begin with: ftyp, then an mdat of size 0.
const Bytes kHeader = Bytes("\0\0\0\x10" "ftypXAVC\0\0\0\0", 16) + Bytes("\0\0\0\0mdat", 8);

}  // namespace

TEST(ClipInfo, an_rsv_tells_codec_and_rate_from_its_first_group) {
    struct Row {
        const char* what;
        Bytes bytes;
        std::optional<Value> info;
    };
    const Row rows[] = {
        {"H.264 after a run of rtmd samples", rtmd(25) + rtmd(25) + h264Picture(),
         Value{{"codec", "H.264"}, {"fps", 25.0}}},
        {"a picture size only from a set the stream carries",
         rtmd(50) + nal({0x09, 0x10}) + nal(kSps320x180) + nal({0x65, 0x88, 0x80, 0x40}),
         Value{{"codec", "H.264"}, {"fps", 50.0}, {"width", 320}, {"height", 180}}},
        {"H.265", rtmd(30) + kHevcPicture, Value{{"codec", "H.265"}, {"fps", 30.0}}},
        {"after a file header", kHeader + rtmd(24) + h264Picture(), Value{{"codec", "H.264"}, {"fps", 24.0}}},
        {"a rate the header cannot mean", rtmd(0) + h264Picture(), Value{{"codec", "H.264"}}},
        {"MXF", Bytes("\x06\x0E\x2B\x34\x02\x05\x01\x01", 8), Value{{"codec", "XAVC Intra"}}},
        {"no delimiter after the rtmd run", rtmd(25) + Bytes(64, '\x7f'), std::nullopt},
        {"cut inside the rtmd run", rtmd(25).substr(0, 100), std::nullopt},
        {"no rtmd at the start", Bytes(4096, '\0') + rtmd(25) + h264Picture(), std::nullopt},
        {"empty", Bytes(), std::nullopt},
    };
    Scratch tree;
    for (const Row& r : rows) {
        const std::optional<ClipInfo> got = rsvClipInfo(tree.write("C.RSV", r.bytes));
        EXPECT_EQ(got.has_value(), r.info.has_value()) << r.what;
        if (got && r.info) {
            EXPECT_EQ(got->toValue(), *r.info) << r.what;
        }
    }
}

TEST(ClipInfo, an_rsv_that_is_no_regular_file_is_never_waited_for) {
    Scratch tree;
    ASSERT_EQ(::mkfifo((tree / "FIFO.RSV").c_str(), 0600), 0);
    EXPECT_FALSE(rsvClipInfo(tree / "FIFO.RSV").has_value());  // returns: opening did not wait for a writer
    EXPECT_FALSE(rsvClipInfo(tree / "missing.RSV").has_value());
}

TEST(ClipInfo, candidates_match_on_every_field_both_sides_know) {
    const ClipInfo rsv{std::nullopt, std::nullopt, 30.0, "H.264"};
    const ClipInfo sized{320, 180, 25.0, "H.264"};
    struct Row {
        const char* what;
        Value probe;
        bool mxf;
        const ClipInfo& against;
        std::optional<bool> match;
    };
    const Row rows[] = {
        {"29.97 is the camera's 30", {{"w", 1920}, {"h", 1080}, {"fps", 29.97}, {"codec", "avc1"}}, false, rsv, true},
        {"another codec", {{"fps", 30.0}, {"codec", "hvc1"}}, false, rsv, false},
        {"another rate", {{"fps", 25.0}, {"codec", "avc1"}}, false, rsv, false},
        {"another size", {{"w", 1280}, {"h", 720}, {"fps", 25.0}, {"codec", "avc1"}}, false, sized, false},
        {"the same size", {{"w", 320}, {"h", 180}, {"fps", 25.0}, {"codec", "avc3"}}, false, sized, true},
        {"MXF for an MP4-family RSV", {{"fps", 30.0}}, true, rsv, false},
        {"nothing readable", {{"dur", 0}}, false, rsv, std::nullopt},
        {"an unnamed sample entry", {{"codec", "mp4v"}}, false, rsv, std::nullopt},
    };
    for (const Row& r : rows)
        EXPECT_EQ(clipInfoMatch(r.against, clipInfoFromProbe(r.probe, r.mxf)), r.match) << r.what;
}
