#include <gtest/gtest.h>

#include <array>

#include "media/probe.h"
#include "media/thumbnail.h"
#include "media_fixtures.h"

namespace {

// A data URL as the page receives it: the prefix, one line, a JPEG inside.
DecodedJpeg expectJpeg(const std::optional<std::string>& url) {
    EXPECT_TRUE(url.has_value());
    if (!url) return {};
    EXPECT_EQ(url->rfind("data:image/jpeg;base64,", 0), 0u);
    EXPECT_EQ(url->find_first_of("\r\n"), std::string::npos);
    const auto jpeg = decodeDataUrl(*url);
    EXPECT_TRUE(jpeg.has_value());
    return jpeg.value_or(DecodedJpeg{});
}

}  // namespace

// Frames come upright, fitted into 640 x 640 and never enlarged. The CLI's own
// frame at the same time, scaled to the same size, must look the same: this
// catches a wrong frame, a wrong turn and a wrong colour matrix.
TEST(thumbnail, frames_are_upright_fitted_into_640_and_match_what_the_ffmpeg_cli_extracts) {
    const std::string gop25 = kAvc + " -g 25";
    struct Row {
        const char* name;
        std::string encode;  // ffmpeg arguments, output file appended
        double at;
        int width, height;
        const char* cliScale;  // extra scale filter options for the CLI's reference; nullptr: not compared
        int rotate = 0;
    } rows[] = {
        // Untagged HD is taken as BT.709.
        {"hd.mp4", pattern("1920x1080", 2, gop25), 1.3, 640, 360, ":in_color_matrix=bt709"},
        {"portrait.mp4", pattern("1280x720", 2, gop25), 0.7, 360, 640, ":in_color_matrix=bt709", 90},
        {"upside.mp4", pattern("640x360", 2, gop25), 1.0, 640, 360, "", 180},
        {"sd.mp4", pattern("640x480", 2, gop25), 1.9, 640, 480, ":in_color_matrix=bt601"},
        {"main10.mp4", pattern("1280x720", 2, kHevc10 + ":keyint=25 -colorspace bt709 -tag:v hvc1"), 0.5, 640, 360,
         ":in_color_matrix=bt709"},
        {"small.mp4", pattern("320x180", 0.4), 0.2, 320, 180, nullptr},
        {"tall_small.mov", pattern("200x600", 0.4), 0.2, 200, 600, nullptr},
        // The stream's own tag wins over the size.
        {"sd_tagged_709.mp4", pattern("640x480", 1, kAvc + " -colorspace bt709"), 0.5, 640, 480, ":in_color_matrix=bt709"},
        {"full_range.mp4", pattern("720x480", 0.4, "-c:v libx264 -pix_fmt yuvj420p"), 0.2, 640, 427, nullptr},
    };
    Scratch dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto file = encode(dir, row.name, row.encode, row.rotate);
        const auto asset = MediaAsset::open(file);
        ASSERT_TRUE(asset);
        const DecodedJpeg ours = expectJpeg(thumbnailDataURL(*asset, row.at));
        EXPECT_EQ(ours.width, row.width);
        EXPECT_EQ(ours.height, row.height);
        if (!row.cliScale) continue;
        const auto reference = cliFrame(file, row.at, ours.width, ours.height, row.cliScale);
        ASSERT_FALSE(reference.empty());
        // JPEG at quality 82 and a different scaler stay well below this
        // (about 1.5); the neighbouring frame (3 to 6) or the other colour
        // matrix (about 9) do not.
        EXPECT_LT(pictureDistance(ours.rgb, reference, ours.width, ours.height), 2.5);
    }
}

TEST(thumbnail, one_asset_serves_start_middle_and_end_in_any_order) {
    Scratch dir;
    const auto file = encode(dir, "clip.mp4", pattern("320x180", 2, kAvc + " -bf 2", "30000/1001"));
    const double dur = probe(file)["dur"].get<double>();
    const auto asset = MediaAsset::open(file);
    ASSERT_TRUE(asset);
    // Beyond the last frame the last frame stands in.
    const double times[] = {dur * 0.01, dur * 0.5, dur - 0.1, 0.0, dur + 5.0, dur * 0.5, 1e300, -3.0};
    std::vector<uint8_t> middle;
    for (double at : times) {
        SCOPED_TRACE(at);
        const DecodedJpeg jpeg = expectJpeg(thumbnailDataURL(*asset, at));
        EXPECT_EQ(jpeg.width, 320);
        EXPECT_EQ(jpeg.height, 180);
        // Asking again after a later frame gives the same picture.
        EXPECT_TRUE(at != dur * 0.5 || middle.empty() || jpeg.rgb == middle);
        if (at == dur * 0.5) middle = jpeg.rgb;
    }
    // The last frame, asked for at its own time and from beyond the end.
    const DecodedJpeg last = expectJpeg(thumbnailDataURL(*asset, dur - 0.05));
    const DecodedJpeg beyond = expectJpeg(thumbnailDataURL(*asset, dur + 5.0));
    EXPECT_EQ(beyond.rgb, last.rgb);
    const DecodedJpeg before = expectJpeg(thumbnailDataURL(*asset, dur - 0.1));
    EXPECT_NE(before.rgb, last.rgb);
}

// A file whose index survived but whose picture data was cut off: the frames
// still held decode, the lost ones are absent rather than replaced by the
// last frame that happens to be there.
TEST(thumbnail, cut_off_file_gives_no_frame_where_the_data_is_gone) {
    Scratch dir;
    const auto file = encode(dir, "cut.mp4", pattern("320x180", 4, kAvc + " -movflags +faststart"));
    std::filesystem::resize_file(file, std::filesystem::file_size(file) * 4 / 10);
    EXPECT_NEAR(probe(file)["dur"].get<double>(), 4.0, 0.05);
    const auto asset = MediaAsset::open(file);
    ASSERT_TRUE(asset);
    EXPECT_TRUE(thumbnailDataURL(*asset, 0.2).has_value());
    EXPECT_FALSE(thumbnailDataURL(*asset, 3.5).has_value());
    EXPECT_FALSE(thumbnailDataURL(*asset, 10.0).has_value());
}

// A full-range picture comes back in the colours it was encoded with (the
// CLI's frame would not tell: it reads the range the same either way).
TEST(thumbnail, full_range_colours_come_back_as_they_were_encoded) {
    Scratch dir;
    for (const auto& [colour, rgb] : {std::pair<std::string, std::array<int, 3>>{"0xC02020", {192, 32, 32}},
                                      {"0x28A0DC", {40, 160, 220}}, {"0x404040", {64, 64, 64}}}) {
        SCOPED_TRACE(colour);
        const auto file = encode(dir, colour + ".mp4",
                                 "-f lavfi -i color=c=" + colour + ":size=640x480:rate=25:duration=0.2,format=rgb24 " +
                                     "-vf scale=out_color_matrix=bt601:out_range=pc,format=yuvj420p -preset ultrafast "
                                     "-pix_fmt yuvj420p -c:v libx264");
        const auto asset = MediaAsset::open(file);
        ASSERT_TRUE(asset);
        const DecodedJpeg jpeg = expectJpeg(thumbnailDataURL(*asset, 0.0));
        ASSERT_FALSE(jpeg.rgb.empty());
        for (int c = 0; c < 3; ++c) {
            double sum = 0;
            for (size_t i = c; i < jpeg.rgb.size(); i += 3) sum += jpeg.rgb[i];
            EXPECT_NEAR(sum / (jpeg.rgb.size() / 3), rgb[c], 3.0) << "channel " << c;
        }
    }
}
