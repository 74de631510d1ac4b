#include "rsv/assembly.h"

#include <algorithm>
#include <numeric>
#include <optional>

namespace tv {

Assembly::Assembly(const Reference& ref, const StreamLayout& layout, const ParameterSets& ps)
    : ref_(ref), layout_(layout), poc_(ps) {
    OutTrack v;
    v.ref = ref.video;
    v.kind = TrackKind::Video;
    tracks_.push_back(v);
    OutTrack r;
    r.ref = ref.rtmd;
    r.kind = TrackKind::Rtmd;
    tracks_.push_back(r);
    for (int a : ref.audio) {
        OutTrack t;
        t.ref = a;
        t.kind = TrackKind::Audio;
        t.oneSamplePerChunk = ref.tracks[size_t(a)].sizes.constant == 0;
        tracks_.push_back(t);
    }
    clock_.audioBefore.assign(ref.audio.size(), 0);
}

namespace {
// Silence is written once and every silence chunk points at it.
constexpr int64_t kSilenceChunkBytes = 1 << 20;
}  // namespace

void Assembly::add(const GroupResult& g) {
    if (g.frames.empty() && !g.touched) return;
    ++groups_;
    keptEnd_ = std::max(keptEnd_, g.keptEnd);
    const int64_t base = clock_.framesBefore;
    addPictures(g, base);
    addSound(g, base);
    if (!g.touched) {
        clock_.framesBefore += int64_t(g.frames.size());
        return;
    }
    // The pictures damage took: every run of slots without a kept frame.
    int64_t expect = 0;
    for (const auto& f : g.frames) {
        if (f.slot > expect) noteLost(TrackKind::Video, base + expect, base + f.slot);
        expect = f.slot + 1;
    }
    if (g.slots > expect) noteLost(TrackKind::Video, base + expect, base + g.slots);
    clock_.framesBefore += std::max<int64_t>(g.slots, expect);
}

void Assembly::addPictures(const GroupResult& g, int64_t base) {
    OutTrack& v = tracks_[videoOut_];
    OutTrack& r = tracks_[rtmdOut_];
    int64_t nextOffset = -1, nextSlot = -1;
    for (const auto& f : g.frames) {
        // Pictures on both sides of damage are separate chunks in both tracks.
        if (f.offset != nextOffset) v.chunks.push_back({f.offset, 0, 0, 0});
        if (f.slot != nextSlot) r.chunks.push_back({g.rtmdOffset + int64_t(f.slot) * layout_.rtmdSize, 0, 0, 0});
        ++v.chunks.back().samples;
        ++r.chunks.back().samples;
        nextOffset = f.offset + f.size;
        nextSlot = f.slot + 1;
        const int64_t slot = base + f.slot;
        // Order counts do not carry over lost pictures.
        if (!v.slots.empty() && slot != v.slots.back() + 1) poc_.reset();
        v.slots.push_back(slot);
        v.sizes.push_back(f.size);
        ++v.samples;
        ++r.samples;
        if (f.key) v.syncSamples.push_back(uint32_t(v.samples));
        std::optional<int64_t> poc;
        bool newPeriod = false;
        if (v.pocKnown && f.slice) poc = poc_.next(*f.slice, &newPeriod);
        if (!poc) {
            v.pocKnown = false;
            continue;
        }
        if (newPeriod) v.periodStarts.push_back(uint32_t(v.poc.size()));
        v.poc.push_back(*poc);
    }
}

void Assembly::addSound(const GroupResult& g, int64_t base) {
    for (size_t a = 0; g.audioLost && a < ref_.audio.size(); ++a) {
        if (a == 0) noteLost(TrackKind::Audio, base, base + g.slots);
        addSilence(a, layout_.audioFramesFor(a, base, g.slots, clock_.audioBefore[a]));
    }
    for (const auto& a : g.audio) {
        OutTrack& t = tracks_[2 + a.track];
        const auto& info = ref_.tracks[size_t(t.ref)];
        OutChunk c{a.offset, 0, 0, 0};
        if (t.oneSamplePerChunk) {
            c.samples = 1;
            c.bytes = uint32_t(a.frames * layout_.audio[a.track].bytesPerFrame);
            c.ticks = uint32_t(a.frames);
        } else {
            // A reference sample may span several sample frames (delta > 1).
            uint32_t perSample = info.sampleDelta ? info.sampleDelta : 1;
            c.samples = uint32_t(a.frames / perSample);
        }
        if (c.samples == 0) continue;
        t.chunks.push_back(c);
        t.samples += c.samples;
        t.audioFrames += a.frames;
        t.mediaDuration = uint64_t(t.audioFrames);
        clock_.audioBefore[a.track] += a.frames;
    }
}

void Assembly::addSilence(size_t track, int64_t frames) {
    OutTrack& t = tracks_[2 + track];
    const auto& info = ref_.tracks[size_t(t.ref)];
    const int64_t bpf = layout_.audio[track].bytesPerFrame;
    const int64_t perSample = t.oneSamplePerChunk ? 1 : std::max<int64_t>(1, info.sampleDelta);
    const int64_t perChunk = std::max<int64_t>(1, kSilenceChunkBytes / bpf / perSample) * perSample;
    clock_.audioBefore[track] += frames;
    for (int64_t left = frames; left > 0;) {
        const int64_t n = std::min(left, perChunk);
        left -= n;
        OutChunk c{0, uint32_t(n / perSample), uint32_t(n * bpf), uint32_t(n), true};
        if (t.oneSamplePerChunk) c.samples = 1;
        if (c.samples == 0) continue;
        silenceBytes_ = std::max(silenceBytes_, n * bpf);
        t.chunks.push_back(c);
        t.samples += c.samples;
        t.audioFrames += n;
    }
    t.mediaDuration = uint64_t(t.audioFrames);
}

void Assembly::markGap(int64_t lostPictures) {
    poc_.reset();
    if (lostPictures <= 0 || groups_ == 0) return;
    const int64_t base = clock_.framesBefore;
    noteLost(TrackKind::Video, base, base + lostPictures);
    for (size_t a = 0; a < ref_.audio.size(); ++a) {
        if (a == 0) noteLost(TrackKind::Audio, base, base + lostPictures);
        addSilence(a, layout_.audioFramesFor(a, base, lostPictures, clock_.audioBefore[a]));
    }
    clock_.framesBefore += lostPictures;
}

void Assembly::markLead(int64_t lostPictures) {
    if (lostPictures <= 0 || groups_ == 0) return;
    leadPictures_ = lostPictures;
    const double shift = double(lostPictures * layout_.frameDuration) / double(layout_.videoTimescale);
    for (auto& r : lost_) {
        r.from += shift;
        r.to += shift;
    }
    std::vector<LostRange> lead;
    for (TrackKind k : {TrackKind::Video, TrackKind::Rtmd, TrackKind::Audio})
        if (k != TrackKind::Audio || !ref_.audio.empty()) lead.push_back({k, 0.0, shift});
    lost_.insert(lost_.begin(), lead.begin(), lead.end());
}

uint64_t Assembly::leadTicks(const OutTrack& t) const {
    const bool pictures = t.kind == TrackKind::Video || t.kind == TrackKind::Rtmd;
    const __int128 ticks =
        __int128(leadPictures_ + (pictures ? pictureLead_ : 0)) * layout_.frameDuration * ref_.movieTimescale;
    return uint64_t((ticks + layout_.videoTimescale / 2) / layout_.videoTimescale);
}

void Assembly::noteLost(TrackKind kind, int64_t fromPicture, int64_t toPicture) {
    const double perPicture = double(layout_.frameDuration) / double(layout_.videoTimescale);
    const double from = double(fromPicture) * perPicture, to = double(toPicture) * perPicture;
    auto kinds = kind == TrackKind::Video ? std::vector<TrackKind>{TrackKind::Video, TrackKind::Rtmd}
                                          : std::vector<TrackKind>{kind};
    for (TrackKind k : kinds) {
        auto same = std::find_if(lost_.rbegin(), lost_.rend(), [&](const LostRange& r) { return r.kind == k; });
        if (same != lost_.rend() && same->to == from) same->to = to;
        else lost_.push_back({k, from, to});
    }
}

std::string Assembly::finish() {
    OutTrack& v = tracks_[videoOut_];
    const auto& info = ref_.tracks[size_t(v.ref)];
    const int64_t d = layout_.frameDuration;
    std::string note;
    v.ctts.assign(v.samples, 0);
    // Decode positions in pictures from the first kept one: lost pictures
    // leave their time.
    const int64_t first = v.slots.empty() ? 0 : v.slots.front();
    for (auto& s : v.slots) s -= first;
    pictureLead_ = first;
    if (v.pocKnown && v.poc.size() == v.samples && !v.periodStarts.empty()) {
        placeByOrderCounts();
    } else if (!info.ctts.empty()) {
        note = "picture order not readable from the slice headers; using the reference's pattern";
        std::vector<int64_t> pattern;
        uint32_t nextSync = info.stss.size() > 1 ? info.stss[1] - 1 : UINT32_MAX;
        for (const auto& e : info.ctts) {
            for (uint32_t k = 0; k < e.count && pattern.size() < nextSync && pattern.size() < 4096; ++k)
                pattern.push_back(e.value);
        }
        size_t sinceKey = 0, s = 0;
        for (size_t i = 0; i < v.samples && !pattern.empty(); ++i) {
            if (s < v.syncSamples.size() && v.syncSamples[s] == i + 1) {
                sinceKey = 0;
                ++s;
            }
            v.ctts[i] = pattern[sinceKey % pattern.size()];
            ++sinceKey;
        }
    }
    v.compositionEnd = 0;
    for (size_t i = 0; i < v.samples; ++i)
        v.compositionEnd = std::max(v.compositionEnd, v.slots[i] * d + v.ctts[i] + d);
    for (auto& t : tracks_)
        for (auto& c : t.chunks)
            if (c.silence) c.offset = keptEnd_;
    buildTimeTables();
    return note;
}

// Presentation positions follow the order counts themselves (count step =
// the stream's smallest spacing), so pictures missing after a cut or lost to
// damage leave their gap instead of pulling later pictures forward. A period
// whose counts would overrun the next period falls back to plain ranks.
void Assembly::placeByOrderCounts() {
    OutTrack& v = tracks_[videoOut_];
    const int64_t d = layout_.frameDuration;
    const auto& info = ref_.tracks[size_t(v.ref)];
    // The reference's offset of its first picture: the constant its edit
    // list was made for.
    const int64_t refFirst = info.ctts.empty() ? 0 : info.ctts.front().value;
    std::vector<std::vector<size_t>> orders;
    int64_t step = 0;
    for (size_t p = 0; p < v.periodStarts.size(); ++p) {
        size_t a = v.periodStarts[p];
        size_t b = p + 1 < v.periodStarts.size() ? v.periodStarts[p + 1] : v.samples;
        std::vector<size_t> order(b - a);
        std::iota(order.begin(), order.end(), a);
        std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) { return v.poc[x] < v.poc[y]; });
        for (size_t k = 1; k < order.size(); ++k) step = std::gcd(step, v.poc[order[k]] - v.poc[order[k - 1]]);
        orders.push_back(std::move(order));
    }
    if (step <= 0) step = 1;
    std::vector<int64_t> rel(v.samples);
    for (size_t p = 0; p < orders.size(); ++p) {
        const auto& order = orders[p];
        const size_t a = v.periodStarts[p];
        const int64_t start = v.slots[a];
        const int64_t limit = p + 1 == orders.size() ? INT64_MAX : v.slots[v.periodStarts[p + 1]];
        const int64_t base = v.poc[order.front()];
        bool byCount = true;
        for (size_t k = 0; k < order.size() && byCount; ++k) {
            int64_t pos = start + (v.poc[order[k]] - base) / step;
            byCount = pos < limit && (k == 0 || v.poc[order[k]] != v.poc[order[k - 1]]);
        }
        for (size_t k = 0; k < order.size(); ++k) {
            int64_t pos = byCount ? start + (v.poc[order[k]] - base) / step : v.slots[a + k];
            rel[order[k]] = (pos - v.slots[order[k]]) * d;
        }
    }
    int64_t lowest = 0;
    for (int64_t r : rel) lowest = std::min(lowest, r);
    int64_t c = std::max(-lowest, refFirst);
    for (size_t i = 0; i < v.samples; ++i) v.ctts[i] = rel[i] + c;
    v.editShift = c - refFirst;
}

// stts of every track: pictures (and their rtmd samples) last until the next
// kept one, so a lost range keeps its time; sound by its chunks.
void Assembly::buildTimeTables() {
    const OutTrack& v = tracks_[videoOut_];
    for (auto& t : tracks_) {
        t.stts.clear();
        auto add = [&](int64_t value, uint32_t count) {
            if (count > 0) addRun(t.stts, value, count);
        };
        const auto& info = ref_.tracks[size_t(t.ref)];
        if (t.kind == TrackKind::Video || t.kind == TrackKind::Rtmd) {
            const int64_t delta = t.kind == TrackKind::Video || !info.sampleDelta ? layout_.frameDuration
                                                                                 : info.sampleDelta;
            for (size_t i = 0; i < v.slots.size(); ++i)
                add(i + 1 < v.slots.size() ? (v.slots[i + 1] - v.slots[i]) * delta : delta, 1);
            t.mediaDuration = v.slots.empty() ? 0 : uint64_t((v.slots.back() + 1) * delta);
        } else if (t.oneSamplePerChunk) {
            for (const auto& c : t.chunks) add(c.ticks, 1);
        } else {
            add(info.sampleDelta ? info.sampleDelta : 1, uint32_t(t.samples));
        }
    }
    tracks_[rtmdOut_].compositionEnd = int64_t(tracks_[rtmdOut_].mediaDuration);
    for (auto& t : tracks_)
        if (t.kind == TrackKind::Audio) t.compositionEnd = int64_t(t.mediaDuration);
}

uint64_t Assembly::trackEditDuration(const OutTrack& t) const {
    const auto& info = ref_.tracks[size_t(t.ref)];
    auto toMovie = [&](int64_t media) -> uint64_t {
        if (media <= 0) return 0;
        return uint64_t((__int128(media) * ref_.movieTimescale + info.timescale / 2) / info.timescale);
    };
    if (!info.hasEdits) return leadTicks(t) + toMovie(int64_t(t.mediaDuration));
    uint64_t total = leadTicks(t);
    bool media = false;
    for (const auto& e : info.edits) {
        if (e.mediaTime < 0) {
            total += uint64_t(e.segmentDuration);
        } else if (!media) {
            media = true;
            int64_t start = e.mediaTime + (t.kind == TrackKind::Video ? t.editShift : 0);
            total += toMovie(t.compositionEnd - start);
        }
    }
    return total;
}

double Assembly::seconds(const OutTrack& t) const {
    return ref_.movieTimescale ? double(trackEditDuration(t)) / ref_.movieTimescale : 0.0;
}

}  // namespace tv
