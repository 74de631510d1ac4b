// The new moov: header boxes copied from the reference with their durations
// rewritten, and sample tables built from the walked groups.
#include "rsv/assembly.h"

#include "base/bytes.h"
#include "mp4/movie_boxes.h"

#include <algorithm>

namespace tv {
namespace {

int headerSizeOf(const std::vector<uint8_t>& box) {
    return (box.size() >= 4 && be32(box.data()) == 1) ? 16 : 8;
}

// Rewrites the duration of a copied mvhd/tkhd/mdhd box, whose duration sits
// at payload offset v0At (32-bit, version 0) or v1At (64-bit, version 1).
std::vector<uint8_t> withDuration(std::vector<uint8_t> box, size_t v0At, size_t v1At, uint64_t d) {
    size_t p = size_t(headerSizeOf(box));
    if (box.size() < p + 4) return box;
    if (box[p] == 1) {
        if (box.size() >= p + v1At + 8) setBe64(&box[p + v1At], d);
    } else if (box.size() >= p + v0At + 4) {
        setBe32(&box[p + v0At], uint32_t(std::min<uint64_t>(d, UINT32_MAX)));
    }
    return box;
}

}  // namespace

// The reference's edit list up to its first media edit, which is stretched to
// the recovered length (the recovered length replaces the reference's); after
// an empty edit for the time lost before the track's first sample, if any.
std::vector<uint8_t> Assembly::editsFor(const OutTrack& t) const {
    const auto& info = ref_.tracks[size_t(t.ref)];
    std::vector<EditEntry> edits;
    const uint64_t lead = leadTicks(t);
    if (lead > 0) edits.push_back({int64_t(lead), -1});
    if (!info.hasEdits) {
        if (edits.empty()) return {};
        edits.push_back({int64_t(trackEditDuration(t) - lead), 0});
    }
    for (const auto& e : info.hasEdits ? info.edits : std::vector<EditEntry>{}) {
        if (e.mediaTime < 0) {
            edits.push_back(e);
            continue;
        }
        EditEntry m = e;
        m.mediaTime += t.kind == TrackKind::Video ? t.editShift : 0;
        m.segmentDuration = 0;
        int64_t media = t.compositionEnd - m.mediaTime;
        if (media > 0)
            m.segmentDuration = int64_t((__int128(media) * ref_.movieTimescale + info.timescale / 2) / info.timescale);
        edits.push_back(m);
        break;
    }
    return edtsBox(edits);
}

TrackTables Assembly::tablesFor(const OutTrack& t, int64_t dataStart, int64_t payloadBase) const {
    const auto& info = ref_.tracks[size_t(t.ref)];
    const bool variableAudio = t.kind == TrackKind::Audio && t.oneSamplePerChunk;
    TrackTables tt;
    tt.stts = t.stts;
    if (t.kind == TrackKind::Video) {
        if (std::any_of(t.ctts.begin(), t.ctts.end(), [](int64_t c) { return c != 0; }))
            for (int64_t c : t.ctts) addRun(tt.ctts, c);
        tt.hasStss = t.syncSamples.size() != t.samples;
        if (tt.hasStss) tt.stss = t.syncSamples;
        tt.sizes = t.sizes;
    } else if (variableAudio) {
        for (const auto& c : t.chunks) tt.sizes.push_back(c.bytes);
    } else {
        tt.constantSize = t.kind == TrackKind::Rtmd ? ref_.rtmdSampleSize : info.sizes.constant;
        tt.sampleCount = t.samples;
    }
    tt.descriptionIndex = info.descriptionIndex;
    tt.samplesPerChunk.reserve(t.chunks.size());
    tt.chunkOffsets.reserve(t.chunks.size());
    for (const auto& c : t.chunks) {
        tt.samplesPerChunk.push_back(c.samples);
        tt.chunkOffsets.push_back(uint64_t(c.offset - dataStart + payloadBase));
    }
    return tt;
}

std::vector<uint8_t> Assembly::buildMoov(int64_t dataStart, int64_t payloadBase, uint64_t co64Threshold) const {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    uint64_t movieDuration = 0;
    for (const auto& t : tracks_)
        if (t.samples) movieDuration = std::max(movieDuration, trackEditDuration(t));

    w.begin(fourcc("moov"));
    w.raw(withDuration(ref_.mvhd, 16, 24, movieDuration));
    for (const auto& t : tracks_) {
        if (t.samples == 0) continue;
        const auto& info = ref_.tracks[size_t(t.ref)];
        TrackBoxes b;
        b.tkhd = withDuration(info.tkhd, 20, 28, trackEditDuration(t));
        b.edts = editsFor(t);
        if (t.kind == TrackKind::Rtmd) b.tref = info.tref;
        b.mdhd = withDuration(info.mdhd, 16, 24, t.mediaDuration);
        b.hdlr = info.hdlr;
        b.mediaHeader = info.mediaHeader;
        b.dinf = info.dinf;
        b.stsd = info.stsd;
        TrackTables tables = tablesFor(t, dataStart, payloadBase);
        tables.co64Above = co64Threshold;
        writeTrack(w, b, tables);
    }
    w.end();  // moov
    return out;
}

}  // namespace tv
