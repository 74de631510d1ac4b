#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

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

const std::string kAvc = "-c:v libx264 -pix_fmt yuv420p";
const std::string kHevc10 = "-c:v libx265 -pix_fmt yuv420p10le -x265-params log-level=error";

// The ffmpeg arguments of a test-pattern clip: WxH at 25 fps, `seconds` long, encoded with `codec`.
std::string pattern(const std::string& size, double seconds, const std::string& codec) {
    return "-f lavfi -i testsrc2=size=" + size + ":rate=25:duration=" + std::to_string(seconds) + " -preset ultrafast " +
           codec;
}

}  // namespace

TEST(thumbnail, frames_are_upright_fitted_into_640_and_never_enlarged) {
    struct Row {
        const char* name;
        std::string encode;  // ffmpeg arguments, output file appended
        int width, height;
        int rotate = 0;
    } rows[] = {
        {"hd.mp4", pattern("1920x1080", 0.4, kAvc), 640, 360},
        {"portrait.mp4", pattern("1920x1080", 0.4, kAvc), 360, 640, 90},
        {"small.mp4", pattern("320x180", 0.4, kAvc), 320, 180},
        {"tall_small.mov", pattern("200x600", 0.4, kAvc), 200, 600},
        {"main10.mp4", pattern("1280x720", 0.4, kHevc10 + " -tag:v hvc1"), 640, 360},
        {"full_range.mp4", pattern("720x480", 0.4, "-c:v libx264 -pix_fmt yuvj420p"), 640, 427},
    };
    Scratch dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto file = dir / row.name;
        ASSERT_TRUE(encodeRotated(dir, row.name, row.encode, row.rotate));
        const auto asset = MediaAsset::open(file);
        ASSERT_TRUE(asset);
        const DecodedJpeg jpeg = expectJpeg(thumbnailDataURL(*asset, 0.2));
        EXPECT_EQ(jpeg.width, row.width);
        EXPECT_EQ(jpeg.height, row.height);
    }
}

// The CLI's own frame at the same time, scaled to the same size, must look
// the same: this catches a wrong frame, a wrong turn and a wrong colour matrix.
TEST(thumbnail, frame_matches_what_the_ffmpeg_cli_extracts) {
    struct Row {
        const char* name;
        std::string encode;
        double at;
        const char* cliScale;  // extra scale filter options for the CLI's reference
        int rotate = 0;
    } rows[] = {
        // Untagged HD is taken as BT.709.
        {"hd.mp4", pattern("1920x1080", 2, kAvc + " -g 25"), 1.3, ":in_color_matrix=bt709"},
        {"portrait.mp4", pattern("1280x720", 2, kAvc + " -g 25"), 0.7, ":in_color_matrix=bt709", 90},
        {"upside.mp4", pattern("640x360", 2, kAvc + " -g 25"), 1.0, "", 180},
        {"sd.mp4", pattern("640x480", 2, kAvc + " -g 25"), 1.9, ":in_color_matrix=bt601"},
        {"main10.mp4", pattern("1280x720", 2, kHevc10 + ":keyint=25 -colorspace bt709"), 0.5, ":in_color_matrix=bt709"},
    };
    Scratch dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto file = dir / row.name;
        ASSERT_TRUE(encodeRotated(dir, row.name, row.encode, row.rotate));
        const auto asset = MediaAsset::open(file);
        ASSERT_TRUE(asset);
        const DecodedJpeg ours = expectJpeg(thumbnailDataURL(*asset, row.at));
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
    const auto file = dir / "clip.mp4";
    ASSERT_TRUE(makeClip(file, "320x180", "30000/1001", 2.0, "-bf 2"));
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
        if (at == dur * 0.5) {
            // Asking again after a later frame gives the same picture.
            if (middle.empty()) {
                middle = jpeg.rgb;
            } else {
                EXPECT_EQ(jpeg.rgb, middle);
            }
        }
    }
    // The last frame, asked for at its own time and from beyond the end.
    const DecodedJpeg last = expectJpeg(thumbnailDataURL(*asset, dur - 0.05));
    const DecodedJpeg beyond = expectJpeg(thumbnailDataURL(*asset, dur + 5.0));
    EXPECT_EQ(beyond.rgb, last.rgb);
    const DecodedJpeg before = expectJpeg(thumbnailDataURL(*asset, dur - 0.1));
    EXPECT_NE(before.rgb, last.rgb);
}

TEST(thumbnail, asset_without_video_opens_to_nothing) {
    Scratch dir;
    const auto file = dir / "tone.m4a";
    ASSERT_TRUE(ffmpeg("-f lavfi -i sine=duration=1 -c:a aac", file));
    EXPECT_FALSE(MediaAsset::open(file));
}

// A file whose index survived but whose picture data was cut off: the frames
// still held decode, the lost ones are absent rather than replaced by the
// last frame that happens to be there.
TEST(thumbnail, cut_off_file_gives_no_frame_where_the_data_is_gone) {
    Scratch dir;
    const auto file = dir / "cut.mp4";
    ASSERT_TRUE(makeClip(file, "320x180", "25", 4.0, "-movflags +faststart"));
    std::filesystem::resize_file(file, std::filesystem::file_size(file) * 4 / 10);
    EXPECT_NEAR(probe(file)["dur"].get<double>(), 4.0, 0.05);
    const auto asset = MediaAsset::open(file);
    ASSERT_TRUE(asset);
    EXPECT_TRUE(thumbnailDataURL(*asset, 0.2).has_value());
    EXPECT_FALSE(thumbnailDataURL(*asset, 3.5).has_value());
    EXPECT_FALSE(thumbnailDataURL(*asset, 10.0).has_value());
}

// A flat colour encoded with a known matrix and range must come back as the
// colour it was: this pins the matrix chosen for untagged HD and SD, the
// stream's own tag, full-range pictures and 10-bit samples.
TEST(thumbnail, flat_colours_come_back_as_they_were_encoded) {
    struct Row {
        const char* name;
        const char* size;
        const char* toYuv;  // how the RGB colour was turned into YUV
        const char* encode;
    } rows[] = {
        {"hd.mp4", "1280x720", "out_color_matrix=bt709:out_range=tv", "-c:v libx264 -pix_fmt yuv420p"},
        {"sd.mp4", "640x480", "out_color_matrix=bt601:out_range=tv", "-c:v libx264 -pix_fmt yuv420p"},
        {"sd_tagged_709.mp4", "640x480", "out_color_matrix=bt709:out_range=tv",
         "-c:v libx264 -pix_fmt yuv420p -colorspace bt709"},
        {"full.mp4", "640x480", "out_color_matrix=bt601:out_range=pc", "-c:v libx264 -pix_fmt yuvj420p"},
        {"main10.mp4", "1280x720", "out_color_matrix=bt709:out_range=tv",
         "-c:v libx265 -pix_fmt yuv420p10le -x265-params log-level=error"},
    };
    const int colours[][3] = {{192, 32, 32}, {40, 160, 220}, {64, 64, 64}};
    Scratch dir;
    for (const auto& row : rows) {
        for (const auto& rgb : colours) {
            char colour[16];
            std::snprintf(colour, sizeof colour, "0x%02X%02X%02X", rgb[0], rgb[1], rgb[2]);
            SCOPED_TRACE(std::string(row.name) + " " + colour);
            const auto file = dir / (std::string(colour) + row.name);
            const char* yuv = std::strstr(row.encode, "yuvj") ? "yuvj420p"
                              : std::strstr(row.encode, "10le") ? "yuv420p10le"
                                                                : "yuv420p";
            ASSERT_TRUE(ffmpeg(std::string("-f lavfi -i color=c=") + colour + ":size=" + row.size +
                                   ":rate=25:duration=0.2,format=rgb24 -vf scale=" + row.toYuv + ",format=" + yuv +
                                   " -preset ultrafast " + row.encode,
                               file));
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
}
