// Box headers, box trees and sample-table readers on damaged and healthy bytes.
#include "mp4/box.h"
#include "base/bytes.h"
#include "mp4/tables.h"
#include "synth.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

struct HeaderRow {
    const char* name;
    std::vector<uint8_t> bytes;
    int64_t limit;  // -1: the whole buffer
    bool ok;
    int64_t size;
    int headerSize;
};

TEST(box_header, sizes_are_checked_against_the_container) {
    const uint32_t free = fourcc("free");
    std::vector<HeaderRow> rows = {
        {"plain", test::words({16, free, 0, 0}), -1, true, 16, 8},
        {"size 0 runs to the container end", test::words({0, free, 0, 0, 0}), -1, true, 20, 8},
        {"size 1 reads a 64-bit size", test::words({1, free, 0, 24, 0, 0}), -1, true, 24, 16},
        {"exactly at the limit", test::words({8, free}), -1, true, 8, 8},
        {"fewer than 8 bytes", {0, 0, 0, 8, 'f', 'r'}, -1, false, 0, 0},
        {"size below the header", test::words({7, free, 0}), -1, false, 0, 0},
        {"size 1 below its 16-byte header", test::words({1, free, 0, 12, 0}), -1, false, 0, 0},
        {"size 1 without its 64-bit field", test::words({1, free, 0}), -1, false, 0, 0},
        {"beyond the buffer", test::words({64, free, 0}), -1, false, 0, 0},
        {"beyond the parent", test::words({16, free, 0, 0}), 12, false, 0, 0},
        {"64-bit size beyond the buffer", test::words({1, free, 1, 0}), -1, false, 0, 0},
        {"64-bit size with the sign bit", test::words({1, free, 0x80000000u, 0}), -1, false, 0, 0},
    };
    for (const auto& r : rows) {
        MemorySource src(r.bytes);
        std::string why;
        auto h = readBoxHeader(src, 0, r.limit < 0 ? src.size() : r.limit, &why);
        EXPECT_EQ(h.has_value(), r.ok) << r.name << ": " << why;
        if (h && r.ok) {
            EXPECT_EQ(h->size, r.size) << r.name;
            EXPECT_EQ(h->headerSize, r.headerSize) << r.name;
            EXPECT_EQ(h->type, free) << r.name;
        }
        EXPECT_EQ(why.empty(), r.ok) << r.name;
    }
}

std::vector<uint8_t> boxOf(const char (&type)[5], std::initializer_list<std::vector<uint8_t>> parts, int64_t flags = -1) {
    std::vector<uint8_t> payload = flags < 0 ? std::vector<uint8_t>{} : test::words({uint32_t(flags)});
    for (const auto& p : parts) payload.insert(payload.end(), p.begin(), p.end());
    auto out = test::words({uint32_t(8 + payload.size()), fourcc(type)});
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// moov: mvhd, trak (tkhd, mdia/minf/stbl/stco), udta.
std::vector<uint8_t> sampleTree() {
    return boxOf("moov", {boxOf("mvhd", {std::vector<uint8_t>(96)}, 0),
                          boxOf("trak", {boxOf("tkhd", {std::vector<uint8_t>(80)}, 3),
                                         boxOf("mdia", {boxOf("minf", {boxOf("stbl", {boxOf("stco", {test::words({1, 48})}, 0)})})})}),
                          boxOf("udta", {test::words({0})})});
}

TEST(box_tree, a_child_overrunning_its_parent_fails_the_tree_short_padding_does_not) {
    auto bytes = sampleTree();
    bytes.insert(bytes.end(), {0, 0, 0, 0});
    MemorySource padded(bytes);
    EXPECT_TRUE(parseBoxes(padded, 0, padded.size(), nullptr));
    // Grow tkhd's size by 4 bytes: it now runs past the end of its trak.
    size_t tkhdAt = 8 + 108 + 8;
    ASSERT_EQ(be32(&bytes[tkhdAt + 4]), fourcc("tkhd"));
    setBe32(&bytes[tkhdAt], be32(&bytes[tkhdAt]) + 200);
    MemorySource src(bytes);
    std::string why;
    EXPECT_FALSE(parseBoxes(src, 0, src.size(), &why));
    EXPECT_NE(why.find("tkhd"), std::string::npos) << why;
}

struct TableRow {
    const char* name;
    std::vector<uint8_t> payload;
    bool ok;
};

TEST(sample_tables, counts_are_capped_by_the_box_bytes) {
    auto run = [](const std::string b, const TableRow& r) {
        std::string why;
        const uint8_t* p = r.payload.data();
        size_t n = r.payload.size();
        if (b == "stts") { std::vector<TimeEntry> v; return readTimeTable(p, n, false, v, &why); }
        if (b == "ctts") { std::vector<TimeEntry> v; return readTimeTable(p, n, true, v, &why); }
        if (b == "stsc") { std::vector<StscEntry> v; return readStsc(p, n, v, &why); }
        if (b == "stsz") { SampleSizes v; return readStsz(p, n, v, &why); }
        if (b == "stco") { std::vector<int64_t> v; return readChunkOffsets(p, n, false, v, &why); }
        if (b == "co64") { std::vector<int64_t> v; return readChunkOffsets(p, n, true, v, &why); }
        if (b == "stss") { std::vector<uint32_t> v; return readStss(p, n, v, &why); }
        std::vector<EditEntry> v;
        return readElst(p, n, v, &why);
    };
    struct Case { const char* box; TableRow row; };
    std::vector<Case> cases = {
        {"stts", {"one entry", test::words({0, 1, 10, 1001}), true}},
        {"stts", {"count larger than the box", test::words({0, 0x40000000, 10, 1001}), false}},
        {"stts", {"no count", test::words({0}), false}},
        {"ctts", {"two entries", test::words({0, 2, 1, 2002, 1, 0xFFFFFC17}), true}},
        {"ctts", {"one entry short", test::words({0, 2, 1, 2002, 1}), false}},
        {"stsc", {"ordered", test::words({0, 2, 1, 12, 1, 3, 10, 1}), true}},
        {"stsc", {"first chunk 0", test::words({0, 1, 0, 12, 1}), false}},
        {"stsc", {"out of order", test::words({0, 2, 3, 12, 1, 2, 10, 1}), false}},
        {"stsz", {"constant size", test::words({0, 1024, 0xFFFFFFFF}), true}},
        {"stsz", {"sizes listed", test::words({0, 0, 2, 100, 200}), true}},
        {"stsz", {"more sizes claimed than held", test::words({0, 0, 3, 100, 200}), false}},
        {"stco", {"two offsets", test::words({0, 2, 48, 96}), true}},
        {"stco", {"huge count", test::words({0, 0xFFFFFFFF, 48}), false}},
        {"co64", {"one offset", test::words({0, 1, 1, 0}), true}}, {"co64", {"half an offset", test::words({0, 1, 1}), false}},
        {"co64", {"offset with the sign bit", test::words({0, 1, 0x80000000u, 0}), false}},
        {"stss", {"count too large", test::words({0, 5, 1, 13}), false}},
        {"elst", {"version 0", test::words({0, 1, 1000, 1001, 0x10000}), true}},
        {"elst", {"version 1", test::words({0x01000000, 1, 0, 1000, 0, 1001, 0x10000}), true}},
        {"elst", {"version 1 too short", test::words({0x01000000, 1, 0, 1000, 0, 1001}), false}},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.box, c.row), c.row.ok) << c.box << ": " << c.row.name;
}

TEST(sample_tables, stsc_expands_over_chunks) {
    std::vector<StscEntry> stsc = {{1, 12, 1}, {3, 15, 1}, {4, 7, 1}};
    EXPECT_EQ(samplesPerChunk(stsc, 5), (std::vector<uint32_t>{12, 12, 15, 7, 7}));
}

}  // namespace
}  // namespace tv
