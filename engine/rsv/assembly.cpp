#include "rsv/assembly.h"

#include <algorithm>
#include <numeric>

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

void Assembly::add(const GroupResult& g) {
    if (g.frames.empty()) return;
    ++groups_;
    keptEnd_ = std::max(keptEnd_, g.keptEnd);
    OutTrack& v = tracks_[videoOut_];
    OutTrack& r = tracks_[rtmdOut_];
    const uint32_t n = uint32_t(g.frames.size());
    v.chunks.push_back({g.frames.front().offset, n, 0, 0});
    r.chunks.push_back({g.rtmdOffset, n, 0, 0});
    for (const auto& f : g.frames) {
        v.sizes.push_back(f.size);
        ++v.samples;
        if (f.key) v.syncSamples.push_back(uint32_t(v.samples));
        if (v.pocKnown && f.slice) {
            bool newPeriod = false;
            auto poc = poc_.next(*f.slice, &newPeriod);
            if (poc) {
                if (newPeriod) v.periodStarts.push_back(uint32_t(v.poc.size()));
                v.poc.push_back(*poc);
                continue;
            }
        }
        v.pocKnown = false;
    }
    r.samples += n;
    const uint32_t rtmdDelta = ref_.tracks[size_t(ref_.rtmd)].sampleDelta;
    r.mediaDuration = r.samples * (rtmdDelta ? rtmdDelta : layout_.frameDuration);
    v.mediaDuration = v.samples * layout_.frameDuration;

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
    clock_.framesBefore += n;
}

std::string Assembly::finish() {
    OutTrack& v = tracks_[videoOut_];
    const auto& info = ref_.tracks[size_t(v.ref)];
    const int64_t d = layout_.frameDuration;
    // The reference's offset of its first picture: the constant its edit
    // list was made for.
    const int64_t refFirst = info.ctts.empty() ? 0 : info.ctts.front().value;
    std::string note;
    v.ctts.assign(v.samples, 0);
    if (v.pocKnown && v.poc.size() == v.samples && !v.periodStarts.empty()) {
        // Presentation positions follow the order counts themselves (count
        // step = the stream's smallest spacing), so pictures missing after a
        // cut leave their gap instead of pulling later pictures forward. A
        // period whose counts would overrun the next period falls back to
        // plain ranks.
        std::vector<std::vector<size_t>> orders;
        int64_t step = 0;
        for (size_t p = 0; p < v.periodStarts.size(); ++p) {
            size_t a = v.periodStarts[p];
            size_t b = p + 1 < v.periodStarts.size() ? v.periodStarts[p + 1] : v.samples;
            std::vector<size_t> order(b - a);
            std::iota(order.begin(), order.end(), a);
            std::stable_sort(order.begin(), order.end(),
                             [&](size_t x, size_t y) { return v.poc[x] < v.poc[y]; });
            for (size_t k = 1; k < order.size(); ++k)
                step = std::gcd(step, v.poc[order[k]] - v.poc[order[k - 1]]);
            orders.push_back(std::move(order));
        }
        if (step <= 0) step = 1;
        std::vector<int64_t> rel(v.samples);
        for (size_t p = 0; p < orders.size(); ++p) {
            const auto& order = orders[p];
            const int64_t a = int64_t(v.periodStarts[p]);
            const bool lastPeriod = p + 1 == orders.size();
            const int64_t limit = lastPeriod ? INT64_MAX : int64_t(v.periodStarts[p + 1]);
            const int64_t base = v.poc[order.front()];
            bool byCount = true;
            for (size_t k = 0; k < order.size() && byCount; ++k) {
                int64_t pos = a + (v.poc[order[k]] - base) / step;
                byCount = pos < limit && (k == 0 || v.poc[order[k]] != v.poc[order[k - 1]]);
            }
            for (size_t k = 0; k < order.size(); ++k) {
                int64_t pos = byCount ? a + (v.poc[order[k]] - base) / step : a + int64_t(k);
                rel[order[k]] = (pos - int64_t(order[k])) * d;
            }
        }
        int64_t lowest = 0;
        for (int64_t r : rel) lowest = std::min(lowest, r);
        int64_t c = std::max(-lowest, refFirst);
        for (size_t i = 0; i < v.samples; ++i) v.ctts[i] = rel[i] + c;
        v.editShift = c - refFirst;
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
        v.compositionEnd = std::max(v.compositionEnd, int64_t(i) * d + v.ctts[i] + d);
    for (auto& t : tracks_)
        if (t.kind != TrackKind::Video) t.compositionEnd = int64_t(t.mediaDuration);
    return note;
}

uint64_t Assembly::trackEditDuration(const OutTrack& t) const {
    const auto& info = ref_.tracks[size_t(t.ref)];
    auto toMovie = [&](int64_t media) -> uint64_t {
        if (media <= 0) return 0;
        return uint64_t((__int128(media) * ref_.movieTimescale + info.timescale / 2) / info.timescale);
    };
    if (!info.hasEdits) return toMovie(int64_t(t.mediaDuration));
    uint64_t total = 0;
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
