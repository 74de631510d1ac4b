#include "noref/synthetic_movie.h"

#include "mp4/box_writer.h"
#include "base/bytes.h"
#include "mp4/sample_entry.h"

namespace tv {
namespace {

const uint32_t kMatrix[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};

std::vector<uint8_t> tkhd(uint32_t id, bool audio, uint32_t width, uint32_t height) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.beginFull(fourcc("tkhd"), 0, 3);  // enabled, in movie
    w.u32(0); w.u32(0); w.u32(id); w.u32(0); w.u32(0);
    w.u64(0);
    putBe16(out, 0); putBe16(out, 0);
    putBe16(out, audio ? 0x0100 : 0); putBe16(out, 0);
    for (uint32_t m : kMatrix) w.u32(m);
    w.u32(width << 16);
    w.u32(height << 16);
    w.end();
    return out;
}

std::vector<uint8_t> mdhd(uint32_t timescale) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.beginFull(fourcc("mdhd"), 0, 0);
    w.u32(0); w.u32(0); w.u32(timescale); w.u32(0);
    putBe16(out, 0x55C4);  // "und"
    putBe16(out, 0);
    w.end();
    return out;
}

std::vector<uint8_t> hdlr(uint32_t type, const char* name) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.beginFull(fourcc("hdlr"), 0, 0);
    w.u32(0); w.u32(type); w.u32(0); w.u32(0); w.u32(0);
    for (const char* p = name; *p; ++p) out.push_back(uint8_t(*p));
    out.push_back(0);
    w.end();
    return out;
}

std::vector<uint8_t> mediaHeader(TrackKind kind) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    if (kind == TrackKind::Video) {
        w.beginFull(fourcc("vmhd"), 0, 1);
        w.u64(0);
    } else if (kind == TrackKind::Audio) {
        w.beginFull(fourcc("smhd"), 0, 0);
        w.u32(0);
    } else {
        w.beginFull(fourcc("nmhd"), 0, 0);
    }
    w.end();
    return out;
}

std::vector<uint8_t> dinf() {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.begin(fourcc("dinf"));
    w.beginFull(fourcc("dref"), 0, 0);
    w.u32(1);
    w.beginFull(fourcc("url "), 0, 1);  // media in this file
    w.end();
    w.end();
    w.end();
    return out;
}

// stsd with one entry; `body` follows the 8-byte entry header and the
// six reserved bytes and data reference index every sample entry starts with.
std::vector<uint8_t> stsd(uint32_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.beginFull(fourcc("stsd"), 0, 0);
    w.u32(1);
    w.begin(type);
    for (int i = 0; i < 6; ++i) out.push_back(0);
    putBe16(out, 1);
    w.raw(body);
    w.end();
    w.end();
    return out;
}

std::vector<uint8_t> videoEntryBody(const std::vector<uint8_t>& config, const SpsSummary& s,
                                    VideoCodec codec) {
    std::vector<uint8_t> b;
    putBe16(b, 0); putBe16(b, 0);
    for (int i = 0; i < 3; ++i) putBe32(b, 0);
    putBe16(b, uint16_t(s.width));
    putBe16(b, uint16_t(s.height));
    putBe32(b, 0x00480000);
    putBe32(b, 0x00480000);
    putBe32(b, 0);
    putBe16(b, 1);
    const char* name = codec == VideoCodec::H264 ? "AVC Coding" : "HEVC Coding";
    uint8_t compressor[32] = {};
    compressor[0] = uint8_t(std::char_traits<char>::length(name));
    std::copy(name, name + compressor[0], compressor + 1);
    b.insert(b.end(), compressor, compressor + 32);
    putBe16(b, 0x0018);
    putBe16(b, 0xFFFF);
    b.insert(b.end(), config.begin(), config.end());
    return b;
}

std::vector<uint8_t> pcmEntryBody(uint16_t channels, uint16_t bits, bool iso) {
    std::vector<uint8_t> b;
    putBe16(b, 0); putBe16(b, 0); putBe32(b, 0);
    putBe16(b, channels);
    putBe16(b, bits);
    putBe16(b, 0); putBe16(b, 0);
    putBe32(b, 48000u << 16);
    if (iso) {  // pcmC: big-endian integer samples
        std::vector<uint8_t> c;
        BoxWriter w(c);
        w.beginFull(fourcc("pcmC"), 0, 0);
        c.push_back(0);
        c.push_back(uint8_t(bits));
        w.end();
        b.insert(b.end(), c.begin(), c.end());
    }
    return b;
}

TrackInfo track(uint32_t id, TrackKind kind, uint32_t handler, const char* name, uint32_t timescale,
                std::vector<uint8_t> sampleDescription, uint32_t width = 0, uint32_t height = 0) {
    TrackInfo t;
    t.id = id;
    t.kind = kind;
    t.handler = handler;
    t.timescale = timescale;
    t.tkhd = tkhd(id, kind == TrackKind::Audio, width, height);
    t.mdhd = mdhd(timescale);
    t.hdlr = hdlr(handler, name);
    t.mediaHeader = mediaHeader(kind);
    t.dinf = dinf();
    t.stsd = std::move(sampleDescription);
    parseSampleEntry(t.stsd, t);
    return t;
}

}  // namespace

Reference syntheticReference(const RsvRecording& rec, const std::vector<uint8_t>& codecConfig,
                             const SpsSummary& picture) {
    const StreamLayout& l = rec.layout;
    Reference ref;
    ref.movieTimescale = l.videoTimescale;
    const uint32_t entry = l.codec == VideoCodec::H264 ? fourcc("avc1") : fourcc("hvc1");
    TrackInfo v = track(1, TrackKind::Video, fourcc("vide"), "Video Media Handler", l.videoTimescale,
                        stsd(entry, videoEntryBody(codecConfig, picture, l.codec)), picture.width,
                        picture.height);
    v.sampleDelta = l.frameDuration;
    // The edit list starts at the first picture shown; the tables put it at
    // the composition offset the picture order demands.
    v.hasEdits = true;
    v.edits.push_back({0, 0, 0x10000});
    ref.tracks.push_back(std::move(v));

    uint32_t id = 2;
    for (const auto& a : l.audio) {
        const bool twos = rec.audio == AudioLayout::Twos;
        TrackInfo t = track(id++, TrackKind::Audio, fourcc("soun"), "Sound Media Handler", a.timescale,
                            stsd(twos ? fourcc("twos") : fourcc("ipcm"),
                                 pcmEntryBody(twos ? 2 : 1, twos ? 16 : 24, !twos)));
        t.sizes.constant = a.bytesPerFrame;
        t.sampleDelta = 1;
        ref.audio.push_back(int(ref.tracks.size()));
        ref.tracks.push_back(std::move(t));
    }

    TrackInfo r = track(id, TrackKind::Rtmd, fourcc("meta"), "Timed Metadata Media Handler",
                        l.videoTimescale, stsd(fourcc("rtmd"), {}));
    r.kind = TrackKind::Rtmd;
    r.sizes.constant = l.rtmdSize;
    r.sampleDelta = l.frameDuration;
    {
        BoxWriter w(r.tref);
        w.begin(fourcc("tref"));
        w.begin(fourcc("cdsc"));
        w.u32(1);
        w.end();
        w.end();
    }
    ref.rtmd = int(ref.tracks.size());
    ref.tracks.push_back(std::move(r));

    {
        BoxWriter w(ref.mvhd);
        w.beginFull(fourcc("mvhd"), 0, 0);
        w.u32(0); w.u32(0); w.u32(l.videoTimescale); w.u32(0);
        w.u32(0x10000);
        putBe16(ref.mvhd, 0x0100);
        for (int i = 0; i < 10; ++i) ref.mvhd.push_back(0);
        for (uint32_t m : kMatrix) w.u32(m);
        for (int i = 0; i < 6; ++i) w.u32(0);
        w.u32(id + 1);
        w.end();
    }
    ref.video = 0;
    ref.chunkOrder = {ref.rtmd, ref.video};
    ref.chunkOrder.insert(ref.chunkOrder.end(), ref.audio.begin(), ref.audio.end());
    ref.rtmdSampleSize = l.rtmdSize;
    ref.frameDuration = l.frameDuration;
    ref.framesPerGroup = uint32_t(rec.groupStarts.size() > 1 ? rec.groupStarts[1] : rec.frames.size());
    return ref;
}

}  // namespace tv
