#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "bridge/bridge.h"
#include "bridge/queues.h"
#include "media/codec_text.h"
#include "media/track_handlers.h"
#include "media/probe.h"
#include "media/thumbnail.h"
#include "media_fixtures.h"
#include "support/page.h"

namespace {

std::set<std::string> keysOf(const Value& v) {
    std::set<std::string> keys;
    for (auto it = v.begin(); it != v.end(); ++it) keys.insert(it.key());
    return keys;
}

const Value kNothing = Value{{"dur", 0}, {"audio_tracks", 0}, {"meta_tracks", 0}};

}  // namespace

TEST(codec_text, reads_bytes_as_latin1_and_trims_only_blanks_at_the_ends) {
    struct Row {
        uint32_t code;
        std::string text;
    } rows[] = {
        {fourCC('a', 'v', 'c', '1'), "avc1"},
        {fourCC('r', 'a', 'w', ' '), "raw"},
        {fourCC(' ', 'a', ' ', 'b'), "a b"},
        {fourCC('\t', 'x', 'y', '\xA0'), "xy"},
        {fourCC('\n', 'x', 'y', '\r'), "\nxy\r"},
        {fourCC('a', 'b', 'c', '\0'), std::string("abc\0", 4)},
        {fourCC('\xA9', 'x', 'y', 'z'), "\xC2\xA9xyz"},
        {fourCC(' ', ' ', ' ', ' '), ""},
    };
    for (const auto& row : rows) EXPECT_EQ(codecText(row.code), row.text) << std::hex << row.code;
}

TEST(probe, audio_only_file_has_exactly_three_keys) {
    Scratch dir;
    const auto file = dir / "tone.m4a";
    ASSERT_TRUE(ffmpeg("-f lavfi -i sine=frequency=440:duration=1.5 -c:a aac", file));
    const Value info = probe(file);
    EXPECT_EQ(keysOf(info), (std::set<std::string>{"dur", "audio_tracks", "meta_tracks"}));
    EXPECT_TRUE(info["dur"].is_number_float());
    EXPECT_NEAR(info["dur"].get<double>(), 1.5, 0.05);
    EXPECT_EQ(info["audio_tracks"], 1);
    EXPECT_EQ(info["meta_tracks"], 0);
}

TEST(probe, nominal_frame_rate_is_rounded_to_three_decimals) {
    struct Row {
        const char* rate;
        double fps;
    } rows[] = {{"30000/1001", 29.97}, {"24000/1001", 23.976}, {"25", 25.0}, {"60000/1001", 59.94}};
    Scratch dir;
    for (const auto& row : rows) {
        const auto file = dir / (std::string("clip_") + std::to_string(row.fps) + ".mp4");
        ASSERT_TRUE(makeClip(file, "320x180", row.rate, 1.0));
        const Value info = probe(file);
        EXPECT_EQ(info["fps"].get<double>(), row.fps) << row.rate;
        EXPECT_EQ(info["w"], 320);
        EXPECT_EQ(info["h"], 180);
        EXPECT_EQ(info["codec"], "avc1");
        EXPECT_NEAR(info["dur"].get<double>(), 1.0, 0.05);
        EXPECT_EQ(keysOf(info), (std::set<std::string>{"dur", "w", "h", "fps", "codec", "audio_tracks", "meta_tracks"}));
    }
}

TEST(probe, quarter_turned_recording_reports_its_upright_size) {
    Scratch dir;
    const auto landscape = dir / "landscape.mp4";
    const auto file = dir / "portrait.mp4";
    ASSERT_TRUE(makeClip(landscape, "1920x1080", "25", 0.2));
    ASSERT_TRUE(rotated(landscape, 90, file));
    const Value info = probe(file);
    EXPECT_EQ(info["w"], 1080);
    EXPECT_EQ(info["h"], 1920);
}

TEST(probe, hevc_codec_is_the_stored_sample_entry) {
    struct Row {
        const char* tag;
        const char* codec;
    } rows[] = {{"-tag:v hvc1", "hvc1"}, {"", "hev1"}};
    Scratch dir;
    for (const auto& row : rows) {
        const auto file = dir / (std::string("hevc_") + row.codec + ".mp4");
        ASSERT_TRUE(ffmpeg(std::string("-f lavfi -i testsrc2=size=320x180:rate=25:duration=0.5 -c:v libx265 "
                                       "-preset ultrafast -x265-params log-level=error ") + row.tag,
                           file));
        EXPECT_EQ(probe(file)["codec"], row.codec);
    }
}

TEST(probe, counts_audio_tracks_and_only_timed_metadata_tracks) {
    Scratch dir;
    const auto base = dir / "base.mp4";
    ASSERT_TRUE(ffmpeg("-f lavfi -i testsrc2=size=320x180:rate=25:duration=1 -f lavfi -i sine=duration=1 "
                       "-f lavfi -i sine=frequency=880:duration=1 -map 0 -map 1 -map 2 -c:v libx264 -preset ultrafast "
                       "-pix_fmt yuv420p -c:a aac",
                       base));
    struct Row {
        const char* entry;
        const char* handler;
        int meta;
    } rows[] = {
        {"rtmd", "meta", 1},  // the camera's real-time metadata
        {"mebx", "meta", 1},  // boxed metadata of other cameras
        {"tmcd", "tmcd", 0},  // a timecode track is not metadata
        {"abcd", "text", 0},
    };
    for (const auto& row : rows) {
        const auto file = dir / (std::string("with_") + row.entry + ".mp4");
        ASSERT_TRUE(shell("python3 '" + scriptPath("mp4_edit.py") + "' add-meta '" + base + "' '" + file + "' " +
                          row.entry + " " + row.handler));
        const Value info = probe(file);
        EXPECT_EQ(info["meta_tracks"], row.meta) << row.entry;
        EXPECT_EQ(info["audio_tracks"], 2) << row.entry;
        EXPECT_EQ(info["codec"], "avc1") << row.entry;
    }
}

TEST(probe, unreadable_inputs_answer_what_they_can_and_decode_nothing) {
    Scratch dir;
    const auto clip = dir / "clip.mp4";
    ASSERT_TRUE(makeClip(clip, "320x180", "25", 1.0));
    const auto size = std::filesystem::file_size(clip);

    auto write = [&](const std::string& name, const std::string& bytes) { return dir.write(name, bytes); };
    // The moov box comes last in the CLI's output: half the file has none.
    const auto truncated = dir / "truncated.MP4";
    std::filesystem::copy_file(clip, truncated);
    std::filesystem::resize_file(truncated, size / 2);
    dir.folder("folder.mp4");

    const std::string rows[] = {
        dir / "missing.mp4",
        "",
        write("zero.mp4", ""),
        truncated,
        write("notes.txt", "card notes\nclip 1 ok\n"),
        write("text.MP4", std::string(4096, 'x')),
        dir / "folder.mp4",
        "/dev/zero",
    };
    for (const auto& path : rows) {
        EXPECT_EQ(probe(path), kNothing) << path;
        EXPECT_TRUE(probe(path)["dur"].is_number_integer()) << path;
        const auto asset = MediaAsset::open(path);
        if (asset) {
            EXPECT_FALSE(thumbnailDataURL(*asset, 0.5).has_value()) << path;
        }
    }
}

TEST(probe, undecodable_video_is_described_but_gives_no_frame) {
    Scratch dir;
    const auto file = dir / "blank.mp4";
    ASSERT_TRUE(makeClip(file, "320x180", "25", 1.0));
    // Zero the picture data, keep the boxes that describe it.
    ASSERT_TRUE(shell("python3 '" + scriptPath("mp4_edit.py") + "' blank '" + file + "'"));
    const Value info = probe(file);
    EXPECT_EQ(info["w"], 320);
    EXPECT_NEAR(info["dur"].get<double>(), 1.0, 0.05);
    const auto asset = MediaAsset::open(file);
    if (asset) {
        for (double at : {0.0, 0.5, 0.9}) EXPECT_FALSE(thumbnailDataURL(*asset, at).has_value()) << at;
    }
}

TEST(probe_request, answers_with_the_probe_result_of_the_path) {
    Scratch dir;
    const auto file = dir / "clip.mp4";
    ASSERT_TRUE(makeClip(file, "320x180", "25", 1.0));

    RecordingDesktop desktop;
    auto page = std::make_shared<RecordingPage>();
    auto bridge = Bridge::create(desktop);
    bridge->webView = page;
    handleProbeRequest(*bridge, 7, Value{{"path", file}});
    handleProbeRequest(*bridge, 8, Value{{"path", 42}});
    handleProbeRequest(*bridge, 9, Value::object());
    runMainLoopUntil([&] { return page->scripts.size() >= 3 && pendingWork() == 0; }, 20000);
    ASSERT_EQ(page->scripts.size(), 3u);

    std::map<int64_t, Value> answers;
    for (const Value& envelope : pageCalls(page->scripts, "__resolve"))
        answers[envelope["call"].get<int64_t>()] = envelope["data"];
    EXPECT_EQ(answers[7], probe(file));
    EXPECT_EQ(answers[7]["w"], 320);
    EXPECT_EQ(answers[8], kNothing);
    EXPECT_EQ(answers[9], kNothing);
}

TEST(probe, other_containers_are_described_without_a_sample_entry_code) {
    struct Row {
        const char* name;
        const char* codec;  // ffmpeg video codec
        bool video;         // described and decodable as video
    } rows[] = {
        {"clip.mkv", "libx264", true},
        {"clip.mxf", "mpeg2video", true},
        {"clip.ts", "libx264", true},  // no keyframe index: seeks by timestamp only
        {"still.jpg", "mjpeg", false}, // a picture is not a recording
    };
    Scratch dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto file = dir / row.name;
        ASSERT_TRUE(ffmpeg(std::string("-f lavfi -i testsrc2=size=320x180:rate=25:duration=1 -pix_fmt yuv420p ") +
                               (row.video ? "" : "-frames:v 1 ") + "-c:v " + row.codec,
                           file));
        const Value info = probe(file);
        const auto asset = MediaAsset::open(file);
        if (!row.video) {
            EXPECT_EQ(info, kNothing);
            EXPECT_FALSE(asset);
            continue;
        }
        EXPECT_EQ(info["w"], 320);
        EXPECT_EQ(info["fps"], 25.0);
        EXPECT_FALSE(info.contains("codec"));
        ASSERT_TRUE(asset);
        for (double at : {0.9, 0.1}) EXPECT_TRUE(thumbnailDataURL(*asset, at).has_value()) << at;
    }
}
