// Refusing a reference of another frame size: slice layouts of the
// reference's pictures against the RSV's, and the addresses' bound.
#include "rsv/stream_check.h"
#include "synth.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

using Layouts = std::vector<std::vector<uint32_t>>;

TEST(frame_size_check, slice_layouts_decide_only_when_they_can) {
    struct Row {
        const char* name;
        Layouts reference, rsv;
        uint64_t units;
        bool refused;
    };
    const Layouts four = {{0, 60, 120, 180}, {0, 60, 120, 180}};
    const Row rows[] = {
        {"same layout", four, four, 240, false},
        {"same count, other positions (bigger reference)", {{0, 230, 460, 690}, {0, 230, 460, 690}}, four,
         920, true},
        {"an address beyond the reference's picture", {{0}}, {{0, 300}}, 240, true},
        {"address exactly at the picture size", {{0}}, {{0, 240}}, 240, true},
        {"one slice per picture: nothing to compare", {{0}, {0}}, {{0}}, 920, false},
        {"reference slices vary (sized by bytes)", {{0, 50, 120, 180}, {0, 70, 130, 180}}, four, 240, false},
        {"RSV slices vary", four, {{0, 50, 120, 180}, {0, 70, 130, 180}}, 240, false},
        {"another slice count", {{0, 120}, {0, 120}}, four, 240, false},
        {"reference unreadable", {}, four, 240, false},
        {"picture size unknown", {{0, 230}}, {{0, 9999}}, 0, true},
    };
    for (const auto& r : rows)
        EXPECT_EQ(frameSizeMismatch(r.reference, r.rsv, r.units).has_value(), r.refused) << r.name;
}

TEST(frame_size_check, slice_addresses_of_a_stored_picture) {
    std::vector<uint8_t> bytes;
    auto g = test::appendGroup(bytes, 2, 3, 64, 16);
    auto ps = ParameterSets::fromConfig(VideoCodec::H264, {});
    MemorySource src(bytes);
    const int64_t size = g.frameStarts[1] - g.frameStarts[0];
    auto l = sliceAddresses(src, g.frameStarts[0], size, VideoCodec::H264, 4, ps);
    ASSERT_TRUE(l);
    EXPECT_EQ(*l, (std::vector<uint32_t>{0, 50, 100}));
    // A picture whose last NAL unit runs past the given size proves nothing.
    EXPECT_FALSE(sliceAddresses(src, g.frameStarts[0], size - 1, VideoCodec::H264, 4, ps));
    // Nor do bytes that are not NAL units.
    EXPECT_FALSE(sliceAddresses(src, g.start, 64, VideoCodec::H264, 4, ps));
}

}  // namespace
}  // namespace tv
