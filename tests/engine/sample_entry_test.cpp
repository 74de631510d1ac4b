// PCM layouts read from audio sample entries of the QuickTime and ISO kinds.
#include "bytes.h"
#include "errors.h"
#include "reference.h"
#include "sample_entry.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

// stsd with one audio entry: the 28 bytes after the entry header, then
// extra (version-specific fields and child boxes).
std::vector<uint8_t> stsdWith(const char (&type)[5], uint16_t version, uint16_t channels,
                              uint16_t bits, const std::vector<uint8_t>& extra) {
    std::vector<uint8_t> e;
    putBe32(e, 0);
    putBe32(e, fourcc(type));
    e.insert(e.end(), {0, 0, 0, 0, 0, 0, 0, 1});  // reserved, data reference index
    putBe16(e, version);
    putBe16(e, 0);
    putBe32(e, 0);
    putBe16(e, channels);
    putBe16(e, bits);
    putBe32(e, 0);
    putBe32(e, 48000u << 16);
    e.insert(e.end(), extra.begin(), extra.end());
    setBe32(e.data(), uint32_t(e.size()));
    std::vector<uint8_t> stsd;
    putBe32(stsd, uint32_t(16 + e.size()));
    putBe32(stsd, fourcc("stsd"));
    putBe32(stsd, 0);
    putBe32(stsd, 1);
    stsd.insert(stsd.end(), e.begin(), e.end());
    return stsd;
}

std::vector<uint8_t> pcmC(uint8_t bits) {
    std::vector<uint8_t> b;
    putBe32(b, 14);
    putBe32(b, fourcc("pcmC"));
    putBe32(b, 0);
    b.push_back(0);  // big endian
    b.push_back(bits);
    return b;
}

std::vector<uint8_t> words(std::initializer_list<uint32_t> w) {
    std::vector<uint8_t> v;
    for (uint32_t x : w) putBe32(v, x);
    return v;
}

TEST(audio_entry, bytes_per_sample_frame_from_each_layout) {
    struct Row {
        const char* name;
        std::vector<uint8_t> stsd;
        uint32_t channels, bits, bytesPerFrame;
    };
    std::vector<uint8_t> v2 = words({72, 0, 0, 4, 0x7F000000, 24, 0, 12, 1});  // QuickTime v2
    std::vector<Row> rows = {
        {"twos version 0", stsdWith("twos", 0, 2, 16, {}), 2, 16, 4},
        {"twos QuickTime version 1", stsdWith("twos", 1, 2, 16, words({1, 2, 4, 2})), 2, 16, 4},
        {"ipcm ISO version 1 with pcmC", stsdWith("ipcm", 1, 1, 16, pcmC(24)), 1, 24, 3},
        {"ipcm version 0 with pcmC", stsdWith("ipcm", 0, 1, 16, pcmC(24)), 1, 24, 3},
        {"lpcm QuickTime version 2", stsdWith("lpcm", 2, 3, 16, v2), 4, 24, 12},
    };
    for (const auto& r : rows) {
        TrackInfo t;
        t.handler = fourcc("soun");
        parseSampleEntry(r.stsd, t);
        EXPECT_EQ(t.audio.channels, r.channels) << r.name;
        EXPECT_EQ(t.audio.bitsPerSample, r.bits) << r.name;
        EXPECT_EQ(t.audio.bytesPerFrame, r.bytesPerFrame) << r.name;
    }
}

TEST(audio_entry, compressed_audio_has_no_pcm_layout_and_damage_is_refused) {
    TrackInfo aac;
    aac.handler = fourcc("soun");
    parseSampleEntry(stsdWith("mp4a", 0, 2, 16, {}), aac);
    EXPECT_EQ(aac.audio.bytesPerFrame, 0u);

    auto bad = stsdWith("twos", 0, 0, 16, {});  // no channels
    TrackInfo t;
    t.handler = fourcc("soun");
    EXPECT_THROW(parseSampleEntry(bad, t), EngineError);
    auto cut = stsdWith("twos", 0, 2, 16, {});
    setBe32(&cut[16], 4000);  // entry larger than the stsd
    EXPECT_THROW(parseSampleEntry(cut, t), EngineError);
}

}  // namespace
}  // namespace tv
