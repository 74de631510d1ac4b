#include <gtest/gtest.h>

#include "bridge/bridge.h"
#include "bridge/queues.h"
#include "media/codec_text.h"
#include "media/probe.h"
#include "media/thumbnail.h"
#include "media/track_handlers.h"
#include "media_fixtures.h"
#include "support/page.h"

namespace {

const Value kNothing = Value{{"dur", 0}, {"audio_tracks", 0}, {"meta_tracks", 0}};
const Value kNoTracks = Value{{"audio_tracks", 0}, {"meta_tracks", 0}};

// The probe result of a 320x180 clip at `fps` with no audio (duration left out).
Value video(double fps, const char* codec = "avc1", int w = 320, int h = 180) {
    Value v{{"w", w}, {"h", h}, {"fps", fps}, {"audio_tracks", 0}, {"meta_tracks", 0}};
    if (codec) v["codec"] = codec;
    return v;
}

}  // namespace

TEST(codec_text, reads_bytes_as_latin1_and_trims_only_blanks_at_the_ends) {
    const std::pair<uint32_t, std::string> rows[] = {
        {fourCC('a', 'v', 'c', '1'), "avc1"}, {fourCC('r', 'a', 'w', ' '), "raw"},
        {fourCC(' ', 'a', ' ', 'b'), "a b"}, {fourCC('\t', 'x', 'y', '\xA0'), "xy"},
        {fourCC('\n', 'x', 'y', '\r'), "\nxy\r"}, {fourCC('a', 'b', 'c', '\0'), std::string("abc\0", 4)},
        {fourCC('\xA9', 'x', 'y', 'z'), "\xC2\xA9xyz"}, {fourCC(' ', ' ', ' ', ' '), ""},
    };
    for (const auto& [code, text] : rows) EXPECT_EQ(codecText(code), text) << std::hex << code;
}

// Every kind of recording the probe describes, and that a video asset opens
// and gives frames near both ends.
TEST(probe, describes_size_rate_codec_and_tracks_of_each_kind_of_file) {
    const std::string hevc = "-c:v libx265 -x265-params log-level=error";
    struct Row {
        const char* name;
        std::string encode;
        double dur;
        Value expected;  // without "dur"
        int rotate = 0;
    } rows[] = {
        {"tone.m4a", "-f lavfi -i sine=frequency=440:duration=1.5 -c:a aac", 1.5,
         {{"audio_tracks", 1}, {"meta_tracks", 0}}},
        // The nominal frame rate, rounded to three decimals.
        {"2997.mp4", pattern("320x180", 1, kAvc, "30000/1001"), 1, video(29.97)},
        {"23976.mp4", pattern("320x180", 1, kAvc, "24000/1001"), 1, video(23.976)},
        {"25.mp4", pattern("320x180", 1), 1, video(25)},
        // A quarter-turned recording reports its upright size.
        {"portrait.mp4", pattern("1920x1080", 0.2), 0.2, video(25, "avc1", 1080, 1920), 90},
        // HEVC: the stored sample entry.
        {"hvc1.mp4", pattern("320x180", 0.5, hevc + " -tag:v hvc1"), 0.5, video(25, "hvc1")},
        {"hev1.mp4", pattern("320x180", 0.5, hevc), 0.5, video(25, "hev1")},
        // Other containers have no sample entry code.
        {"clip.mkv", pattern("320x180", 1), 1, video(25, nullptr)},
        {"clip.mxf", pattern("320x180", 1, "-pix_fmt yuv420p -c:v mpeg2video"), 1, video(25, nullptr)},
        {"clip.ts", pattern("320x180", 1), 1, video(25, nullptr)},  // no keyframe index: seeks by time
        // A picture is not a recording.
        {"still.jpg", pattern("320x180", 1, "-pix_fmt yuv420p -frames:v 1 -c:v mjpeg"), 0, kNoTracks},
    };
    Scratch dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string file = encode(dir, row.name, row.encode, row.rotate);
        ASSERT_FALSE(file.empty());
        Value info = probe(file);
        EXPECT_NEAR(info["dur"].get<double>(), row.dur, 0.05);
        EXPECT_EQ(info["dur"].is_number_float(), row.dur > 0);
        info.erase("dur");
        EXPECT_EQ(info, row.expected);
        const auto asset = MediaAsset::open(file);
        ASSERT_EQ(bool(asset), row.expected.contains("w"));
        for (double at : {row.dur - 0.1, 0.1}) EXPECT_TRUE(!asset || thumbnailDataURL(*asset, at)) << at;
    }
}

TEST(probe, counts_audio_tracks_and_only_timed_metadata_tracks) {
    Scratch dir;
    const auto base = encode(dir, "base.mp4",
                             "-f lavfi -i testsrc2=size=320x180:rate=25:duration=1 -f lavfi -i sine=duration=1 -f lavfi "
                             "-i sine=frequency=880:duration=1 -map 0 -map 1 -map 2 -preset ultrafast -c:a aac " + kAvc);
    ASSERT_FALSE(base.empty());
    const std::pair<const char*, int> rows[] = {
        {"rtmd meta", 1},  // the camera's real-time metadata
        {"mebx meta", 1},  // boxed metadata of other cameras
        {"tmcd tmcd", 0},  // a timecode track is not metadata
        {"abcd text", 0},
    };
    for (const auto& [entry, meta] : rows) {
        const auto file = dir / (std::string(entry, 4) + ".mp4");
        ASSERT_TRUE(mp4Edit("add-meta '" + base + "' '" + file + "' " + entry));
        const Value info = probe(file);
        EXPECT_EQ(info["meta_tracks"], meta) << entry;
        EXPECT_EQ(info["audio_tracks"], 2) << entry;
        EXPECT_EQ(info["codec"], "avc1") << entry;
    }
}

TEST(probe, unreadable_or_undecodable_inputs_answer_what_they_can_and_decode_nothing) {
    Scratch dir;
    const auto clip = encode(dir, "clip.mp4", pattern("320x180", 1));
    ASSERT_FALSE(clip.empty());
    // The moov box comes last in the CLI's output: half the file has none.
    const auto truncated = dir.write("truncated.MP4", readFile(clip).substr(0, std::filesystem::file_size(clip) / 2));
    dir.folder("folder.mp4");
    const std::string rows[] = {
        dir / "missing.mp4", "", dir.write("zero.mp4", ""), truncated,
        dir.write("notes.txt", "card notes\nclip 1 ok\n"), dir.write("text.MP4", std::string(4096, 'x')),
        dir / "folder.mp4", "/dev/zero",
    };
    for (const auto& path : rows) {
        EXPECT_EQ(probe(path), kNothing) << path;
        EXPECT_TRUE(probe(path)["dur"].is_number_integer()) << path;
        const auto asset = MediaAsset::open(path);
        EXPECT_FALSE(asset && thumbnailDataURL(*asset, 0.5)) << path;
    }
    // Zeroed picture data under the boxes that describe it: described, but no frame.
    const auto file = dir.write("blank.mp4", readFile(clip));
    ASSERT_TRUE(mp4Edit("blank '" + file + "'"));
    const Value info = probe(file);
    EXPECT_EQ(info["w"], 320);
    EXPECT_NEAR(info["dur"].get<double>(), 1.0, 0.05);
    const auto asset = MediaAsset::open(file);
    for (double at : {0.0, 0.5, 0.9}) EXPECT_FALSE(asset && thumbnailDataURL(*asset, at)) << at;
}

TEST(probe_request, answers_with_the_probe_result_of_the_path) {
    Scratch dir;
    const auto file = encode(dir, "clip.mp4", pattern("320x180", 1));
    RecordingDesktop desktop;
    auto page = std::make_shared<RecordingPage>();
    auto bridge = Bridge::create();
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
