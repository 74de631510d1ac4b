// Where an RSV's media data begins, and the inputs refused before any walk.
#include "base/errors.h"
#include "null_reporter.h"
#include "rsv/rsv_start.h"
#include "synth.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

using test::NullReporter;

std::vector<uint8_t> box(const char (&type)[5], size_t payload) {
    std::vector<uint8_t> b;
    putBe32(b, uint32_t(8 + payload));
    putBe32(b, fourcc(type));
    b.resize(8 + payload, 0);
    return b;
}

struct Row {
    const char* name;
    std::vector<uint8_t> header;  // put before the groups
    int64_t expected;             // -1: refused
};

// A reference-style header needs no row of its own: were it misread, the search
// from offset 0 would still find the same first group (the corpus's header
// variants are repaired either way).
TEST(rsv_start, media_data_is_found_after_leading_bytes_or_none) {
    std::vector<Row> rows = {
        {"no header", {}, 0},
        {"junk before the first group", std::vector<uint8_t>(3000, 0x11), 3000},
    };
    for (const auto& r : rows) {
        std::vector<uint8_t> bytes = r.header;
        const auto groups = test::stream({2, 2}).bytes;
        bytes.insert(bytes.end(), groups.begin(), groups.end());
        MemorySource src(bytes);
        auto ps = ParameterSets::fromConfig(VideoCodec::H264, {});
        GroupWalker walker(src, test::layout2398(), ps);
        NullReporter rep;
        EXPECT_EQ(locateMediaData(src, walker, WalkClock{}, rep), r.expected) << r.name;
    }
}

TEST(rsv_start, empty_mxf_and_foreign_files_are_refused_with_a_reason) {
    std::vector<std::pair<const char*, std::vector<uint8_t>>> rows = {
        {"empty", {}},
        {"MXF key", {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0, 0, 0, 0}},
        {"random bytes", std::vector<uint8_t>(5000, 0x3C)},
        {"header with no groups", box("ftyp", 20)},
    };
    for (const auto& [name, bytes] : rows) {
        MemorySource src(bytes);
        auto ps = ParameterSets::fromConfig(VideoCodec::H264, {});
        GroupWalker walker(src, test::layout2398(), ps);
        NullReporter rep;
        try {
            locateMediaData(src, walker, WalkClock{}, rep);
            ADD_FAILURE() << name << " was accepted";
        } catch (const EngineError& e) {
            EXPECT_EQ(e.kind(), EngineError::Kind::Input) << name;
            EXPECT_GT(std::string(e.what()).size(), 10u) << name;
        }
    }
}

}  // namespace
}  // namespace tv
