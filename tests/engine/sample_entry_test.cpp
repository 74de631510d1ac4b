// PCM layouts read from audio sample entries of the QuickTime and ISO kinds.
#include "base/bytes.h"
#include "base/errors.h"
#include "mp4/reference.h"
#include "mp4/sample_entry.h"
#include "synth.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

// stsd with one audio entry: the 28 bytes after the entry header, then
// extra (version-specific fields and child boxes).
std::vector<uint8_t> stsdWith(const char (&type)[5], uint16_t version, uint16_t channels, uint16_t bits,
                              const std::vector<uint8_t>& extra) {
    // reserved, data reference index 1, version and revision, vendor, channels
    // and bits, compression and packet size, 48 kHz as 16.16.
    auto e = test::words({0, fourcc(type), 0, 1, uint32_t(version) << 16, 0, uint32_t(channels) << 16 | bits, 0, 48000u << 16});
    e.insert(e.end(), extra.begin(), extra.end());
    setBe32(e.data(), uint32_t(e.size()));
    auto stsd = test::words({uint32_t(16 + e.size()), fourcc("stsd"), 0, 1});
    stsd.insert(stsd.end(), e.begin(), e.end());
    return stsd;
}

std::vector<uint8_t> pcmC(uint8_t bits) {
    auto b = test::words({14, fourcc("pcmC"), 0});
    b.insert(b.end(), {0, bits});  // big endian
    return b;
}

TEST(audio_entry, bytes_per_sample_frame_from_each_layout) {
    struct Row {
        const char* name;
        std::vector<uint8_t> stsd;
        uint32_t channels, bits, bytesPerFrame;
        bool refused = false;
    };
    auto cut = stsdWith("twos", 0, 2, 16, {});
    setBe32(&cut[16], 4000);  // entry larger than the stsd
    std::vector<uint8_t> v2 = test::words({72, 0, 0, 4, 0x7F000000, 24, 0, 12, 1});  // QuickTime v2
    std::vector<Row> rows = {
        {"twos version 0", stsdWith("twos", 0, 2, 16, {}), 2, 16, 4},
        {"twos QuickTime version 1", stsdWith("twos", 1, 2, 16, test::words({1, 2, 4, 2})), 2, 16, 4},
        {"ipcm ISO version 1 with pcmC", stsdWith("ipcm", 1, 1, 16, pcmC(24)), 1, 24, 3},
        {"ipcm version 0 with pcmC", stsdWith("ipcm", 0, 1, 16, pcmC(24)), 1, 24, 3},
        {"lpcm QuickTime version 2", stsdWith("lpcm", 2, 3, 16, v2), 4, 24, 12},
        {"mp4a: no PCM layout", stsdWith("mp4a", 0, 2, 16, {}), 0, 0, 0},
        {"no channels", stsdWith("twos", 0, 0, 16, {}), 0, 0, 0, true},
        {"entry cut off", cut, 0, 0, 0, true},
    };
    for (const auto& r : rows) {
        TrackInfo t;
        t.handler = fourcc("soun");
        if (r.refused) {
            EXPECT_THROW(parseSampleEntry(r.stsd, t), EngineError) << r.name;
            continue;
        }
        parseSampleEntry(r.stsd, t);
        EXPECT_EQ(t.audio.channels, r.channels) << r.name;
        EXPECT_EQ(t.audio.bitsPerSample, r.bits) << r.name;
        EXPECT_EQ(t.audio.bytesPerFrame, r.bytesPerFrame) << r.name;
    }
}

}  // namespace
}  // namespace tv
