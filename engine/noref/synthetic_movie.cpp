#include "noref/synthetic_movie.h"

#include "mp4/movie_boxes.h"
#include "base/bytes.h"
#include "mp4/sample_entry.h"

namespace tv {
namespace {

std::vector<uint8_t> videoEntryBody(const std::vector<uint8_t>& config, const SpsSummary& s,
                                    VideoCodec codec) {
    return visualEntryBody(s.width, s.height, codec == VideoCodec::H264 ? "AVC Coding" : "HEVC Coding", config);
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
    TrackHeader h;
    h.id = id;
    h.audio = kind == TrackKind::Audio;
    h.width = width;
    h.height = height;
    t.tkhd = tkhdBox(h);
    t.mdhd = mdhdBox(timescale, 0, false);
    t.hdlr = hdlrBox(handler, name);
    t.mediaHeader = mediaHeaderBox(handler);
    t.dinf = dinfBox();
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
                        stsdBox(entry, videoEntryBody(codecConfig, picture, l.codec)), picture.width,
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
                            stsdBox(twos ? fourcc("twos") : fourcc("ipcm"),
                                 pcmEntryBody(twos ? 2 : 1, twos ? 16 : 24, !twos)));
        t.sizes.constant = a.bytesPerFrame;
        t.sampleDelta = 1;
        ref.audio.push_back(int(ref.tracks.size()));
        ref.tracks.push_back(std::move(t));
    }

    TrackInfo r = track(id, TrackKind::Rtmd, fourcc("meta"), "Timed Metadata Media Handler",
                        l.videoTimescale, stsdBox(fourcc("rtmd"), {}));
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

    ref.mvhd = mvhdBox(l.videoTimescale, 0, id + 1, false);
    ref.video = 0;
    ref.chunkOrder = {ref.rtmd, ref.video};
    ref.chunkOrder.insert(ref.chunkOrder.end(), ref.audio.begin(), ref.audio.end());
    ref.rtmdSampleSize = l.rtmdSize;
    ref.frameDuration = l.frameDuration;
    ref.framesPerGroup = uint32_t(rec.groupStarts.size() > 1 ? rec.groupStarts[1] : rec.frames.size());
    return ref;
}

}  // namespace tv
