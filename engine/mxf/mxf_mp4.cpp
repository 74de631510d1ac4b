#include "mxf/mxf_mp4.h"

#include "mp4/box_writer.h"
#include "base/bytes.h"
#include "mp4/config_record.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tv {
namespace {

// Offset of the next start code (00 00 01) at or after `from`, or n. The
// scan is the one pass over every picture byte, so it goes 16 (SSE2) or 8
// bytes at a time.
size_t nextStartCode(const uint8_t* p, size_t from, size_t n) {
    auto at = [&](size_t j) { return p[j] == 0 && j + 2 < n && p[j + 1] == 0 && p[j + 2] == 1; };
    size_t i = from;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
    for (; i + 18 <= n; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 2));
        __m128i hit = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(b, zero)),
                                    _mm_cmpeq_epi8(c, one));
        if (int mask = _mm_movemask_epi8(hit)) return i + size_t(__builtin_ctz(unsigned(mask)));
    }
#else
    for (; i + 8 <= n; i += 8) {
        uint64_t x;
        std::memcpy(&x, p + i, 8);
        if (((x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull) == 0) continue;
        for (size_t j = i; j < i + 8; ++j)
            if (at(j)) return j;
    }
#endif
    for (; i < n; ++i)
        if (at(i)) return i;
    return n;
}

void fixed16(BoxWriter& w, uint32_t whole) { w.u32(whole << 16); }

void matrix(BoxWriter& w) {
    for (uint32_t v : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u}) w.u32(v);
}

void header(BoxWriter& w, uint32_t type, uint32_t timescale, uint64_t duration) {
    w.beginFull(type, 1, 0);
    w.u64(0);  // creation
    w.u64(0);  // modification
    w.u32(timescale);
    w.u64(duration);
}

void handler(BoxWriter& w, uint32_t type, const char* name) {
    w.beginFull(fourcc("hdlr"), 0, 0);
    w.u32(0);
    w.u32(type);
    w.u32(0);
    w.u32(0);
    w.u32(0);
    auto& b = w.bytes();
    b.insert(b.end(), name, name + std::strlen(name) + 1);
    w.end();
}

void dataInformation(BoxWriter& w) {
    w.begin(fourcc("dinf"));
    w.beginFull(fourcc("dref"), 0, 0);
    w.u32(1);
    w.beginFull(fourcc("url "), 0, 1);
    w.end();
    w.end();
    w.end();
}

void sampleEntryStart(BoxWriter& w, uint32_t type) {
    w.begin(type);
    w.u32(0);
    putBe16(w.bytes(), 0);
    putBe16(w.bytes(), 1);  // data reference index
}

using Runs = std::vector<std::pair<uint32_t, uint32_t>>;  // (count, value)

// stts (runs of deltas), stsc (runs of samples per chunk), stsz, stco/co64.
void sampleTables(BoxWriter& w, const Runs& deltas, const std::vector<uint32_t>& perChunk,
                  uint32_t constantSize, const std::vector<uint32_t>& sizes, const std::vector<int64_t>& chunks) {
    w.beginFull(fourcc("stts"), 0, 0);
    w.u32(uint32_t(deltas.size()));
    for (auto [count, value] : deltas) {
        w.u32(count);
        w.u32(value);
    }
    w.end();
    w.beginFull(fourcc("stsc"), 0, 0);
    std::vector<std::pair<uint32_t, uint32_t>> rows;  // first chunk, samples
    for (size_t i = 0; i < perChunk.size(); ++i)
        if (rows.empty() || rows.back().second != perChunk[i]) rows.emplace_back(uint32_t(i + 1), perChunk[i]);
    w.u32(uint32_t(rows.size()));
    for (auto [first, n] : rows) {
        w.u32(first);
        w.u32(n);
        w.u32(1);
    }
    w.end();
    w.beginFull(fourcc("stsz"), 0, 0);
    w.u32(constantSize);
    if (constantSize) {
        uint64_t total = 0;
        for (uint32_t n : perChunk) total += n;
        w.u32(uint32_t(total));
    } else {
        w.u32(uint32_t(sizes.size()));
        for (uint32_t s : sizes) w.u32(s);
    }
    w.end();
    bool wide = !chunks.empty() && *std::max_element(chunks.begin(), chunks.end()) > int64_t(UINT32_MAX);
    w.beginFull(wide ? fourcc("co64") : fourcc("stco"), 0, 0);
    w.u32(uint32_t(chunks.size()));
    for (int64_t c : chunks) {
        if (wide) w.u64(uint64_t(c));
        else w.u32(uint32_t(c));
    }
    w.end();
}

void trackHeader(BoxWriter& w, uint32_t id, uint64_t duration, bool audio, uint32_t width, uint32_t height) {
    w.beginFull(fourcc("tkhd"), 1, 7);
    w.u64(0);
    w.u64(0);
    w.u32(id);
    w.u32(0);
    w.u64(duration);
    w.u64(0);
    w.u32(0);                            // layer, alternate group
    w.u32(audio ? 0x01000000u : 0u);     // volume, reserved
    matrix(w);
    fixed16(w, width);
    fixed16(w, height);
    w.end();
}

void mediaStart(BoxWriter& w, uint32_t timescale, uint64_t duration) {
    w.begin(fourcc("mdia"));
    header(w, fourcc("mdhd"), timescale, duration);
    putBe16(w.bytes(), 0x55C4);  // language "und"
    putBe16(w.bytes(), 0);
    w.end();
}

uint64_t toMovie(uint64_t d, uint32_t from, uint32_t to) {
    return from ? uint64_t((__int128(d) * to + from / 2) / from) : 0;
}

struct TrackSpec {
    uint32_t id = 0;
    uint64_t movieDuration = 0;
    uint32_t width = 0, height = 0;
    uint32_t timescale = 0;
    uint64_t mediaDuration = 0;
    uint32_t handler = 0;  // 'vide', 'soun' or 'tmcd'
    const char* name = "";
    uint32_t entry = 0;    // sample entry type
    uint32_t timecodeTrack = 0;
};

TrackSpec specFor(uint32_t id, const MxfTrackTimes& times, uint32_t movieScale, uint32_t handler, const char* name,
                  uint32_t entry) {
    TrackSpec t;
    t.id = id;
    t.movieDuration = toMovie(times.duration, times.timescale, movieScale);
    t.timescale = times.timescale;
    t.mediaDuration = times.duration;
    t.handler = handler;
    t.name = name;
    t.entry = entry;
    return t;
}

// Writes a track up to its one sample entry's common fields; the caller adds
// the entry's own fields, ends the entry and stsd (two end() calls), writes
// the sample tables and calls closeTrack.
void openTrack(BoxWriter& w, const TrackSpec& t) {
    w.begin(fourcc("trak"));
    trackHeader(w, t.id, t.movieDuration, t.handler == fourcc("soun"), t.width, t.height);
    if (t.timecodeTrack) {
        w.begin(fourcc("tref"));
        w.begin(fourcc("tmcd"));
        w.u32(t.timecodeTrack);
        w.end();
        w.end();
    }
    mediaStart(w, t.timescale, t.mediaDuration);
    handler(w, t.handler, t.name);
    w.begin(fourcc("minf"));
    if (t.handler == fourcc("vide")) {
        w.beginFull(fourcc("vmhd"), 0, 1);
        w.u64(0);
    } else if (t.handler == fourcc("soun")) {
        w.beginFull(fourcc("smhd"), 0, 0);
        w.u32(0);
    } else {
        w.begin(fourcc("gmhd"));
        w.beginFull(fourcc("gmin"), 0, 0);
        putBe16(w.bytes(), 0x40);
        for (int i = 0; i < 3; ++i) putBe16(w.bytes(), 0x8000);
        w.u32(0);
        w.end();
    }
    w.end();
    dataInformation(w);
    w.begin(fourcc("stbl"));
    w.beginFull(fourcc("stsd"), 0, 0);
    w.u32(1);
    sampleEntryStart(w, t.entry);
}

void closeTrack(BoxWriter& w) {
    for (int i = 0; i < 4; ++i) w.end();  // stbl, minf, mdia, trak
}


}  // namespace

std::vector<NalSpan> annexBNals(const uint8_t* in, size_t n, AnnexBPicture* info) {
    std::vector<NalSpan> spans;
    size_t lead = 0;
    while (lead < n && in[lead] == 0) ++lead;
    if (lead < 2 || lead >= n || in[lead] != 0x01) return spans;
    size_t at = lead - 2;
    while (at < n) {
        size_t begin = at + 3;
        size_t next = nextStartCode(in, begin, n);
        size_t end = next;
        while (end > begin && in[end - 1] == 0) --end;  // trailing_zero_8bits / the next 4-byte code
        if (end > begin) {
            const uint8_t* nal = in + begin;
            if ((nal[0] & 0x80) != 0 || end - begin > UINT32_MAX) return {};
            spans.push_back({begin, uint32_t(end - begin)});
            int type = nal[0] & 0x1F;
            if (info) {
                if (type == 5) info->idr = true;
                if (type == 7 && info->sps.empty()) info->sps.assign(nal, in + end);
                if (type == 8 && info->pps.empty()) info->pps.assign(nal, in + end);
            }
        }
        at = next;
    }
    return spans;
}

bool annexBToLengthPrefixed(const uint8_t* in, size_t n, std::vector<uint8_t>& out, AnnexBPicture* info) {
    auto spans = annexBNals(in, n, info);
    for (const auto& s : spans) {
        putBe32(out, s.length);
        out.insert(out.end(), in + s.offset, in + s.offset + s.length);
    }
    return !spans.empty();
}

std::optional<AvcConfig> makeAvcConfig(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps) {
    SpsSummary summary;
    auto box = buildCodecConfig(VideoCodec::H264, {sps, pps}, &summary);
    if (!box || box->size() < 8) return std::nullopt;
    AvcConfig c;
    c.avcC.assign(box->begin() + 8, box->end());  // the payload, without the box header
    c.width = summary.width;
    c.height = summary.height;
    return c;
}

MxfTrackTimes videoClock(const MxfRational& rate) {
    if (rate.den == 1) return {uint32_t(rate.num) * 1000, 1000};
    return {uint32_t(rate.num), uint32_t(rate.den)};
}

MxfMovie buildMxfMoov(const MxfSettings& s, const AvcConfig& avc, const MxfTables& t) {
    MxfMovie m;
    const size_t per = t.elementsPerPackage, packages = t.packages();
    const MxfTrackTimes clock = videoClock(s.editRate);
    m.tracks.push_back({clock.timescale, clock.duration * packages});
    std::vector<uint64_t> soundSamples(s.sounds.size());
    for (size_t p = 0; p < packages; ++p)
        for (size_t i = 0; i < s.sounds.size(); ++i) soundSamples[i] += t.sizes[p * per + 1 + i] / s.sounds[i].blockAlign;
    for (size_t i = 0; i < s.sounds.size(); ++i) m.tracks.push_back({s.sounds[i].sampleRate, soundSamples[i]});
    if (s.timecode && t.timecodeSampleOffset) m.tracks.push_back({clock.timescale, clock.duration * packages});

    const uint32_t movieScale = clock.timescale;
    uint64_t movieDuration = 0;
    for (const auto& tr : m.tracks) movieDuration = std::max(movieDuration, toMovie(tr.duration, tr.timescale, movieScale));

    BoxWriter w(m.moov);
    w.begin(fourcc("moov"));
    header(w, fourcc("mvhd"), movieScale, movieDuration);
    w.u32(0x00010000);  // rate
    putBe16(w.bytes(), 0x0100);
    putBe16(w.bytes(), 0);
    w.u64(0);
    matrix(w);
    for (int i = 0; i < 6; ++i) w.u32(0);
    w.u32(uint32_t(m.tracks.size() + 1));
    w.end();

    const uint32_t timecodeId = uint32_t(m.tracks.size());
    // Video.
    {
        TrackSpec video = specFor(1, m.tracks[0], movieScale, fourcc("vide"), "VideoHandler", fourcc("avc1"));
        video.width = avc.width;
        video.height = avc.height;
        if (s.timecode && t.timecodeSampleOffset) video.timecodeTrack = timecodeId;
        openTrack(w, video);
        for (int i = 0; i < 4; ++i) w.u32(0);  // pre_defined, reserved
        putBe16(w.bytes(), uint16_t(avc.width));
        putBe16(w.bytes(), uint16_t(avc.height));
        w.u32(0x00480000);
        w.u32(0x00480000);
        w.u32(0);
        putBe16(w.bytes(), 1);  // frame count
        for (int i = 0; i < 8; ++i) w.u32(0);  // compressor name
        putBe16(w.bytes(), 0x18);
        putBe16(w.bytes(), 0xFFFF);
        w.begin(fourcc("avcC"));
        w.raw(avc.avcC);
        w.end();
        w.end();  // avc1
        w.end();  // stsd
        std::vector<uint32_t> sizes, perChunk(packages, 1);
        std::vector<int64_t> chunks;
        std::vector<uint32_t> syncs;
        sizes.reserve(packages);
        chunks.reserve(packages);
        for (size_t p = 0; p < packages; ++p) {
            sizes.push_back(t.sizes[p * per]);
            chunks.push_back(t.offsets[p * per]);
            if (p < t.sync.size() && t.sync[p]) syncs.push_back(uint32_t(p + 1));
        }
        Runs deltas;
        if (packages) deltas.emplace_back(uint32_t(packages), clock.duration);
        sampleTables(w, deltas, perChunk, 0, sizes, chunks);
        if (syncs.size() != packages) {
            w.beginFull(fourcc("stss"), 0, 0);
            w.u32(uint32_t(syncs.size()));
            for (uint32_t x : syncs) w.u32(x);
            w.end();
        }
        closeTrack(w);
    }
    // Sound: QuickTime LPCM description (version 2), which states the byte
    // order, so the samples stay as the MXF stored them.
    for (size_t i = 0; i < s.sounds.size(); ++i) {
        const MxfSoundTrack& snd = s.sounds[i];
        const MxfTrackTimes& times = m.tracks[1 + i];
        openTrack(w, specFor(uint32_t(2 + i), times, movieScale, fourcc("soun"), "SoundHandler", fourcc("lpcm")));
        putBe16(w.bytes(), 2);  // version
        putBe16(w.bytes(), 0);
        w.u32(0);
        putBe16(w.bytes(), 3);
        putBe16(w.bytes(), 16);
        putBe16(w.bytes(), 0xFFFE);
        putBe16(w.bytes(), 0);
        w.u32(0x00010000);
        w.u32(72);  // size of the version 2 structure
        double rate = double(snd.sampleRate);
        uint64_t rateBits;
        std::memcpy(&rateBits, &rate, 8);
        w.u64(rateBits);
        w.u32(snd.channels);
        w.u32(0x7F000000);
        w.u32(snd.bits);
        w.u32(snd.bits <= 8 ? 0x8u : 0xCu);  // packed, signed integer (8-bit PCM is unsigned), little-endian
        w.u32(snd.blockAlign);
        w.u32(1);
        w.end();  // lpcm
        w.end();  // stsd
        std::vector<uint32_t> perChunk;
        std::vector<int64_t> chunks;
        perChunk.reserve(packages);
        chunks.reserve(packages);
        for (size_t p = 0; p < packages; ++p) {
            perChunk.push_back(t.sizes[p * per + 1 + i] / snd.blockAlign);
            chunks.push_back(t.offsets[p * per + 1 + i]);
        }
        Runs deltas;
        if (times.duration) deltas.emplace_back(uint32_t(times.duration), 1);
        sampleTables(w, deltas, perChunk, snd.blockAlign, {}, chunks);
        closeTrack(w);
    }
    // Timecode: one sample holding the start frame number.
    if (s.timecode && t.timecodeSampleOffset) {
        const MxfTrackTimes& times = m.tracks.back();
        openTrack(w, specFor(timecodeId, times, movieScale, fourcc("tmcd"), "TimeCodeHandler", fourcc("tmcd")));
        w.u32(0);
        w.u32((s.timecode->dropFrame ? 0x1u : 0u) | 0x2u);  // drop frame, wraps at 24 hours
        w.u32(clock.timescale);
        w.u32(clock.duration);
        w.bytes().push_back(uint8_t(s.timecode->roundedBase));
        w.bytes().push_back(0);
        w.end();
        w.end();
        Runs deltas;
        deltas.emplace_back(1, uint32_t(std::min<uint64_t>(times.duration, UINT32_MAX)));
        sampleTables(w, deltas, {1}, 4, {}, {*t.timecodeSampleOffset});
        closeTrack(w);
    }
    w.end();  // moov
    return m;
}

}  // namespace tv
