#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "media/verify.h"
#include "media_fixtures.h"

namespace {

std::string bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void write(const std::string& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }

// A 6 s clip of 150 frames with a key picture every 10 (15 groups), edited
// as the damage a camera, a card or a mismatched reference leaves.
TEST(verify, key_pictures_over_the_whole_file_count_errors_and_check_the_size) {
    Scratch dir;
    const std::string clean = encode(dir, "clean.mp4", pattern("320x180", 6));
    ASSERT_FALSE(clean.empty());
    const std::string data = bytesOf(clean);
    const size_t mdat = data.find("mdat");
    ASSERT_NE(mdat, std::string::npos);

    // Random bytes over the pictures of the middle of the file.
    std::string noisy = data;
    std::mt19937 random(7);
    for (size_t i = mdat + (data.size() - mdat) * 2 / 5; i < mdat + (data.size() - mdat) * 3 / 5; ++i)
        noisy[i] = static_cast<char>(random());
    write(dir / "noisy.mp4", noisy);
    // Every picture blank.
    write(dir / "blank.mp4", data);
    ASSERT_TRUE(mp4Edit("blank " + dir / "blank.mp4"));
    // The track declares another picture size than its pictures have.
    std::string resized = data;
    const size_t avc1 = resized.find("avc1", resized.find("stsd"));  // the sample entry, not the brand
    ASSERT_NE(avc1, std::string::npos);
    resized.replace(avc1 - 4 + 32, 4, std::string("\x02\x80\x01\x68", 4));  // 640 x 360
    write(dir / "resized.mp4", resized);

    const auto ok = checkPictures(clean, 1000, {});
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->checked, 15);  // 14 key pictures alone, then the last group whole
    EXPECT_EQ(ok->errors, 0);
    EXPECT_EQ(ok->clean, 14 + 10);
    EXPECT_EQ(ok->frames, 150);
    EXPECT_EQ(ok->width, 320);
    EXPECT_EQ(ok->height, 180);
    EXPECT_TRUE(ok->sizeMatches);
    EXPECT_TRUE(ok->damaged.empty());

    const auto hurt = checkPictures(dir / "noisy.mp4", 1000, {});
    ASSERT_TRUE(hurt);
    EXPECT_GT(hurt->errors, 0);
    EXPECT_GT(hurt->clean, 0);
    ASSERT_FALSE(hurt->damaged.empty());
    EXPECT_GE(hurt->damaged.front().first, 1.0);  // the start was not touched
    EXPECT_LE(hurt->damaged.back().second, 6.0);

    const auto blank = checkPictures(dir / "blank.mp4", 1000, {});
    ASSERT_TRUE(blank);
    EXPECT_EQ(blank->clean, 0);

    const auto wrong = checkPictures(dir / "resized.mp4", 1000, {});
    ASSERT_TRUE(wrong);
    EXPECT_FALSE(wrong->sizeMatches);

    EXPECT_FALSE(checkPictures(clean, 1000, [] { return true; }));  // stopped: no verdict
    EXPECT_FALSE(checkPictures(dir / "absent.mp4", 1000, {}));
}

TEST(verify, key_pictures_are_taken_evenly_spread_first) {
    struct Row {
        size_t count, mandatory;
        std::vector<size_t> order;
    };
    const Row rows[] = {
        {0, 3, {}},
        {1, 5, {0}},
        {5, 2, {0, 4, 2, 1, 3}},
        {9, 3, {0, 4, 8, 2, 6, 1, 3, 5, 7}},
        {4, 9, {0, 1, 2, 3}},
    };
    for (const Row& r : rows) EXPECT_EQ(keyOrder(r.count, r.mandatory), r.order) << r.count << " " << r.mandatory;
}

}  // namespace
