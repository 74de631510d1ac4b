#include "mxf/mxf_mp4.h"

#include "mp4/movie_boxes.h"
#include "base/bytes.h"
#include "mp4/config_record.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tv {
namespace {

// Offset of the next 00 00 0x with x <= 2 at or after `from`, or n: a start
// code, zero bytes before one, or (inside a NAL unit) bytes an encoder never
// writes there. The scan is the one pass over every picture byte, so it goes
// 16 (SSE2) or 8 bytes at a time.
size_t nextMarker(const uint8_t* p, size_t from, size_t n) {
    auto at = [&](size_t j) { return p[j] == 0 && j + 2 < n && p[j + 1] == 0 && p[j + 2] <= 2; };
    size_t i = from;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), two = _mm_set1_epi8(2);
    for (; i + 18 <= n; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 2));
        __m128i small = _mm_cmpeq_epi8(_mm_min_epu8(c, two), c);
        __m128i hit = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(b, zero)), small);
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

uint64_t toMovie(uint64_t d, uint32_t from, uint32_t to) {
    return from ? uint64_t((__int128(d) * to + from / 2) / from) : 0;
}

// The header boxes every MXF-family track shares: 64-bit times, enabled and
// in preview, an edit list only for a lead.
TrackBoxes boxesFor(uint32_t id, const MxfTrackTimes& times, uint32_t movieScale, uint32_t handler, const char* name,
                    uint32_t entry, const std::vector<uint8_t>& entryBody, uint32_t width = 0, uint32_t height = 0) {
    TrackBoxes b;
    TrackHeader h;
    h.id = id;
    h.width = width;
    h.height = height;
    h.duration = times.lead + toMovie(times.duration, times.timescale, movieScale);
    // The lead is time whose pictures or sound were lost: an empty edit.
    if (times.lead > 0) b.edts = edtsBox({{int64_t(times.lead), -1}, {int64_t(h.duration - times.lead), 0}});
    h.audio = handler == fourcc("soun");
    h.flags = 7;
    h.wide = true;
    b.tkhd = tkhdBox(h);
    b.mdhd = mdhdBox(times.timescale, times.duration, true);
    b.hdlr = hdlrBox(handler, name);
    b.mediaHeader = mediaHeaderBox(handler);
    b.dinf = dinfBox();
    b.stsd = stsdBox(entry, entryBody);
    return b;
}

// Samples of one sound track, each package's element its own chunk.
TrackTables soundTables(const MxfTables& t, size_t element, uint32_t blockAlign) {
    TrackTables tt;
    const size_t per = t.elementsPerPackage, packages = t.packages();
    tt.samplesPerChunk.reserve(packages);
    tt.chunkOffsets.reserve(packages);
    for (size_t p = 0; p < packages; ++p) {
        tt.chunkOffsets.push_back(uint64_t(t.offsets[p * per + element]));
        tt.samplesPerChunk.push_back(t.sizes[p * per + element] / blockAlign);
    }
    return tt;
}

// One sample per kept picture, lasting until the next kept one (lost
// pictures keep their time).
void videoTrack(BoxWriter& w, const AvcConfig& avc, const MxfTables& t, const MxfTrackTimes& clock,
                const MxfTrackTimes& times, uint32_t movieScale, uint32_t timecodeTrack) {
    std::vector<uint8_t> config;
    BoxWriter c(config);
    c.begin(fourcc("avcC"));
    c.raw(avc.avcC);
    c.end();
    const size_t per = t.elementsPerPackage, packages = t.packages();
    std::vector<size_t> kept;
    for (size_t p = 0; p < packages; ++p)
        if (t.sizes[p * per] > 0) kept.push_back(p);
    // Pictures lost at the start: the sound's time before the first kept one.
    const uint64_t first = kept.empty() ? 0 : kept.front();
    const MxfTrackTimes media{times.timescale, times.duration - first * clock.duration,
                              times.lead + first * clock.duration};
    TrackBoxes b = boxesFor(1, media, movieScale, fourcc("vide"), "VideoHandler", fourcc("avc1"),
                            visualEntryBody(avc.width, avc.height, "", config), avc.width, avc.height);
    if (timecodeTrack) {
        BoxWriter r(b.tref);
        r.begin(fourcc("tref"));
        r.begin(fourcc("tmcd"));
        r.u32(timecodeTrack);
        r.end();
        r.end();
    }
    TrackTables tt;
    for (size_t i = 0; i < kept.size(); ++i) {
        const size_t p = kept[i], next = i + 1 < kept.size() ? kept[i + 1] : packages;
        tt.chunkOffsets.push_back(uint64_t(t.offsets[p * per]));
        tt.samplesPerChunk.push_back(1);
        tt.sizes.push_back(t.sizes[p * per]);
        addRun(tt.stts, int64_t((next - p) * clock.duration));
        if (p < t.sync.size() && t.sync[p]) tt.stss.push_back(uint32_t(i + 1));
    }
    tt.hasStss = tt.stss.size() != kept.size();
    writeTrack(w, b, tt);
}

// QuickTime LPCM description (version 2), which states the byte order, so
// the samples stay as the MXF stored them.
std::vector<uint8_t> lpcmEntryBody(const MxfSoundTrack& snd) {
    std::vector<uint8_t> b;
    putBe16(b, 2);  // version
    putBe16(b, 0);
    putBe32(b, 0);
    putBe16(b, 3);
    putBe16(b, 16);
    putBe16(b, 0xFFFE);
    putBe16(b, 0);
    putBe32(b, 0x00010000);
    putBe32(b, 72);  // size of the version 2 structure
    double rate = double(snd.sampleRate);
    uint64_t rateBits;
    std::memcpy(&rateBits, &rate, 8);
    putBe64(b, rateBits);
    putBe32(b, snd.channels);
    putBe32(b, 0x7F000000);
    putBe32(b, snd.bits);
    putBe32(b, snd.bits <= 8 ? 0x8u : 0xCu);  // packed, signed integer (8-bit PCM is unsigned), little-endian
    putBe32(b, snd.blockAlign);
    putBe32(b, 1);
    return b;
}

// One sample holding the start frame number.
std::vector<uint8_t> tmcdEntryBody(const MxfTimecode& tc, const MxfTrackTimes& clock) {
    std::vector<uint8_t> b;
    putBe32(b, 0);
    putBe32(b, (tc.dropFrame ? 0x1u : 0u) | 0x2u);  // drop frame, wraps at 24 hours
    putBe32(b, clock.timescale);
    putBe32(b, uint32_t(clock.duration));
    b.push_back(uint8_t(tc.roundedBase));
    b.push_back(0);
    return b;
}

}  // namespace

std::vector<NalSpan> annexBNals(const uint8_t* in, size_t n, AnnexBPicture* info) {
    std::vector<NalSpan> spans;
    size_t lead = 0;
    while (lead < n && in[lead] == 0) ++lead;
    if (lead < 2 || lead >= n || in[lead] != 0x01) return spans;
    for (size_t begin = lead + 1; begin < n;) {
        // The unit ends at the next marker; only zero bytes then 01 (a start
        // code) may follow it, or a short run of zeros up to the end.
        size_t end = nextMarker(in, begin, n), z = end;
        while (z < n && in[z] == 0) ++z;
        while (end > begin && in[end - 1] == 0) --end;  // trailing_zero_8bits
        if (z < n && in[z] != 0x01) return {};
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
        begin = z + 1;
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
    const bool timecode = s.timecode && t.timecodeSampleOffset;
    const uint64_t lead = uint64_t(t.leadUnits) * clock.duration;
    m.tracks.push_back({clock.timescale, clock.duration * packages, lead});
    std::vector<uint64_t> soundSamples(s.sounds.size());
    for (size_t p = 0; p < packages; ++p)
        for (size_t i = 0; i < s.sounds.size(); ++i) soundSamples[i] += t.sizes[p * per + 1 + i] / s.sounds[i].blockAlign;
    for (size_t i = 0; i < s.sounds.size(); ++i) m.tracks.push_back({s.sounds[i].sampleRate, soundSamples[i], lead});
    // The start timecode is the recording's first frame's: its track covers the lead too.
    if (timecode) m.tracks.push_back({clock.timescale, lead + clock.duration * packages});

    const uint32_t movieScale = clock.timescale;
    uint64_t movieDuration = 0;
    for (const auto& tr : m.tracks)
        movieDuration = std::max(movieDuration, tr.lead + toMovie(tr.duration, tr.timescale, movieScale));

    BoxWriter w(m.moov);
    w.begin(fourcc("moov"));
    w.raw(mvhdBox(movieScale, movieDuration, uint32_t(m.tracks.size() + 1), true));
    const uint32_t timecodeId = uint32_t(m.tracks.size());
    videoTrack(w, avc, t, clock, m.tracks[0], movieScale, timecode ? timecodeId : 0);
    for (size_t i = 0; i < s.sounds.size(); ++i) {
        const MxfSoundTrack& snd = s.sounds[i];
        const MxfTrackTimes& times = m.tracks[1 + i];
        TrackTables tt = soundTables(t, 1 + i, snd.blockAlign);
        if (times.duration) addRun(tt.stts, 1, uint32_t(times.duration));
        tt.constantSize = snd.blockAlign;
        tt.sampleCount = times.duration;
        writeTrack(w, boxesFor(uint32_t(2 + i), times, movieScale, fourcc("soun"), "SoundHandler", fourcc("lpcm"),
                               lpcmEntryBody(snd)),
                   tt);
    }
    if (timecode) {
        const MxfTrackTimes& times = m.tracks.back();
        TrackTables tt;
        addRun(tt.stts, int64_t(std::min<uint64_t>(times.duration, UINT32_MAX)), 1);
        tt.samplesPerChunk = {1};
        tt.constantSize = 4;
        tt.sampleCount = 1;
        tt.chunkOffsets = {uint64_t(*t.timecodeSampleOffset)};
        writeTrack(w, boxesFor(timecodeId, times, movieScale, fourcc("tmcd"), "TimeCodeHandler", fourcc("tmcd"),
                               tmcdEntryBody(*s.timecode, clock)),
                   tt);
    }
    w.end();  // moov
    return m;
}

}  // namespace tv
