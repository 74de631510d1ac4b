#include "noref/layout_from_rsv.h"

#include "base/bytes.h"
#include "base/errors.h"
#include "rsv/rsv_start.h"

#include <algorithm>

namespace tv {
namespace {

using Kind = EngineError::Kind;

constexpr int64_t kSearchWindow = 64LL << 20;
// Groups walked per candidate: enough to see the audio arithmetic carry a
// remainder from one group into the next (23.976p, 29.97p).
constexpr int kLearnGroups = 3;

bool rtmdHeaderAt(const ByteSource& src, int64_t at, uint32_t* size) {
    uint8_t h[28];
    if (!src.readExact(at, h, sizeof h)) return false;
    static const uint8_t prefix[4] = {0x00, 0x1C, 0x01, 0x00}, tag[4] = {0xF0, 0x01, 0x00, 0x10};
    if (!std::equal(h, h + 4, prefix) || !std::equal(h + 8, h + 12, tag)) return false;
    if (size) *size = 28u + be16(h + 4) + be16(h + 6);
    return true;
}

struct Candidate {
    uint32_t timescale, duration;
    AudioLayout audio;
};

std::vector<Candidate> candidates(uint32_t nominal) {
    std::vector<uint32_t> rates;
    if (nominal > 0 && nominal <= 240) rates.push_back(nominal);
    for (uint32_t r : {24u, 25u, 30u, 50u, 60u, 48u, 100u, 120u})
        if (r != nominal) rates.push_back(r);
    std::vector<Candidate> out;
    for (uint32_t r : rates) {
        std::vector<std::pair<uint32_t, uint32_t>> timings = {{r * 1000, 1000}};
        // 23.976, 29.97, 47.952, 59.94, 119.88: the header carries the rounded rate.
        if (r % 6 == 0) timings.push_back({r * 1000, 1001});
        for (auto [ts, d] : timings)
            for (AudioLayout a : {AudioLayout::Twos, AudioLayout::Ipcm4, AudioLayout::None})
                out.push_back({ts, d, a});
    }
    return out;
}

const char* audioName(AudioLayout a) {
    switch (a) {
    case AudioLayout::Twos: return "one 16-bit stereo track (twos)";
    case AudioLayout::Ipcm4: return "four 24-bit mono tracks (ipcm)";
    default: return "none";
    }
}

}  // namespace

StreamLayout candidateLayout(VideoCodec codec, uint32_t rtmdSize, uint32_t timescale,
                             uint32_t frameDuration, AudioLayout audio) {
    StreamLayout l;
    l.codec = codec;
    l.nalLengthSize = 4;
    l.rtmdSize = rtmdSize;
    l.videoTimescale = timescale;
    l.frameDuration = frameDuration;
    if (audio == AudioLayout::Twos) l.audio.push_back({4, 48000});
    if (audio == AudioLayout::Ipcm4)
        for (int i = 0; i < 4; ++i) l.audio.push_back({3, 48000});
    return l;
}

int64_t rsvDataStart(const ByteSource& rsv) {
    if (rsv.size() == 0) throw EngineError(Kind::Input, "the RSV file is empty (0 bytes): nothing to recover");
    uint8_t key[4] = {};
    if (rsv.readExact(0, key, 4) && key[0] == 0x06 && key[1] == 0x0E && key[2] == 0x2B && key[3] == 0x34)
        throw EngineError(Kind::Input,
                          "this is an MXF-style RSV (professional camera); this kind is not supported yet");
    if (rtmdHeaderAt(rsv, 0, nullptr)) return 0;
    if (auto data = mediaAfterHeader(rsv))
        if (rtmdHeaderAt(rsv, *data, nullptr)) return *data;
    // Scan for the first rtmd header (both markers) near the start.
    const int64_t limit = std::min(rsv.size(), kSearchWindow);
    std::vector<uint8_t> buf(1 << 20);
    for (int64_t base = 0; base < limit; base += int64_t(buf.size()) - 32) {
        size_t got = rsv.read(base, buf.data(), buf.size());
        for (size_t i = 0; i + 12 <= got; ++i)
            if (buf[i] == 0x00 && buf[i + 1] == 0x1C && rtmdHeaderAt(rsv, base + int64_t(i), nullptr))
                return base + int64_t(i);
        if (got < buf.size()) break;
    }
    throw EngineError(Kind::Input, "no camera recording data (rtmd headers) found in the RSV");
}

std::pair<VideoCodec, int64_t> firstPicture(const ByteSource& rsv, int64_t dataStart, uint32_t* rtmdSize) {
    uint32_t size = 0;
    if (!rtmdHeaderAt(rsv, dataStart, &size) || size < 28 || size > (4u << 20))
        throw EngineError(Kind::Input, "the first rtmd header is damaged");
    int64_t pos = dataStart;
    while (rtmdHeaderAt(rsv, pos, nullptr)) pos += size;
    uint8_t d[7] = {};
    if (!rsv.readExact(pos, d, sizeof d))
        throw EngineError(Kind::Input, "the RSV ends before its first picture: nothing to recover");
    if (rtmdSize) *rtmdSize = size;
    static const uint8_t avc[5] = {0, 0, 0, 2, 0x09}, hevc[6] = {0, 0, 0, 3, 0x46, 0x01};
    if (std::equal(avc, avc + 5, d)) return {VideoCodec::H264, pos};
    if (std::equal(hevc, hevc + 6, d)) return {VideoCodec::H265, pos};
    throw EngineError(Kind::Input, "no access unit delimiter after the first rtmd samples at offset " +
                                       std::to_string(pos));
}

namespace {

struct Walk {
    const ByteSource& rsv;
    const ParameterSets& ps;
    VideoCodec codec;
    uint32_t rtmdSize;
    int64_t dataStart;
};

// Walks up to kLearnGroups groups under one candidate; with `resync`, a
// first group that does not check out (damage) is skipped for the next one
// that verifiably starts. Returns the groups confirmed.
int attempt(const Walk& w, const Candidate& c, bool resync, RsvRecording& r) {
    StreamLayout layout = candidateLayout(w.codec, w.rtmdSize, c.timescale, c.duration, c.audio);
    GroupWalker walker(w.rsv, layout, w.ps);
    WalkClock clock;
    clock.audioBefore.assign(layout.audio.size(), 0);
    r.dataStart = w.dataStart;
    r.layout = layout;
    r.audio = c.audio;
    int64_t pos = w.dataStart;
    int complete = 0;
    for (int g = 0; g < kLearnGroups; ++g) {
        GroupResult res = walker.readOneGroup(pos, clock);
        if (res.status != GroupResult::Status::Complete) {
            if (!resync || complete > 0) break;
            auto next = walker.findGroupStart(pos + 1, pos + kSearchWindow, clock);
            if (!next) break;
            resync = false;
            pos = *next;
            res = walker.readOneGroup(pos, clock);
            if (res.status != GroupResult::Status::Complete) break;
        }
        ++complete;
        walker.learn(res);
        r.groupStarts.push_back(r.frames.size());
        r.frames.insert(r.frames.end(), res.frames.begin(), res.frames.end());
        clock.framesBefore += int64_t(res.frames.size());
        for (const auto& a : res.audio) clock.audioBefore[a.track] += a.frames;
        if (res.atEnd) break;
        pos = res.end;
    }
    return complete;
}

// A recording cut inside its first group's pictures keeps pictures and no
// audio whatever the audio layout: only the rate matters, and it is the
// header's (the 1000/1001 rates are written for the rounded 24, 30, 60 and
// 120).
bool firstGroupCut(const Walk& w, uint32_t nominal, RsvRecording& rec) {
    const uint32_t duration = nominal % 6 == 0 ? 1001 : 1000;
    StreamLayout layout = candidateLayout(w.codec, w.rtmdSize, nominal * 1000, duration, AudioLayout::None);
    GroupWalker walker(w.rsv, layout, w.ps);
    WalkClock clock;
    GroupResult res = walker.readOneGroup(w.dataStart, clock);
    if (res.status != GroupResult::Status::Cut || res.frames.empty()) return false;
    rec.layout = layout;
    rec.audio = AudioLayout::None;
    rec.frames = res.frames;
    rec.groupStarts = {0};
    return true;
}

}  // namespace

RsvRecording learnRecording(const ByteSource& rsv, const ParameterSets& ps, Reporter& rep) {
    RsvRecording rec;
    rec.dataStart = rsvDataStart(rsv);
    uint32_t rtmdSize = 0;
    const VideoCodec codec = firstPicture(rsv, rec.dataStart, &rtmdSize).first;
    uint8_t rate[2] = {};
    rsv.readExact(rec.dataStart + 18, rate, 2);
    const uint32_t nominal = be16(rate);
    const Walk walk{rsv, ps, codec, rtmdSize, rec.dataStart};

    int best = 0;
    // The damaged-start pass scans, so it runs only when the plain one found
    // nothing, and only on the header's rate when the header names one.
    const bool headerRate = nominal > 0 && nominal <= 240;
    for (bool resync : {false, true}) {
        for (const Candidate& c : candidates(nominal)) {
            if (resync && headerRate && c.timescale != nominal * 1000) continue;
            RsvRecording r;
            const int complete = attempt(walk, c, resync, r);
            if (complete > best) {
                best = complete;
                rec = std::move(r);
            }
            // The header's own rate confirmed over every group walked: the
            // remaining candidates cannot do better.
            if (best == kLearnGroups) break;
        }
        if (best > 0) break;
    }
    if (best == 0 && nominal > 0 && nominal <= 240 && firstGroupCut(walk, nominal, rec)) {
        best = 1;
        rep.info("the recording ends inside its first group: its audio layout is unknown and the "
                 "frame rate is taken from the rtmd header");
    }
    if (best == 0)
        throw EngineError(Kind::ReferenceNeeded,
                          "the recording is too short or too damaged to learn its layout without a "
                          "reference; a reference clip from the same camera is needed");
    char fps[48];
    snprintf(fps, sizeof fps, "%.3f fps", double(rec.layout.videoTimescale) / rec.layout.frameDuration);
    rep.info(std::string("no reference: learnt the layout from the recording: ") +
             (codec == VideoCodec::H264 ? "H.264, " : "H.265, ") + fps + ", rtmd " +
             std::to_string(rtmdSize) + " bytes, audio " + audioName(rec.audio) + ", " +
             std::to_string(rec.groupStarts.size() > 1 ? rec.groupStarts[1] : rec.frames.size()) +
             " frames in the first group");
    return rec;
}

}  // namespace tv
