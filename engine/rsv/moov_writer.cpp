// The new moov: header boxes copied from the reference with their durations
// rewritten, and sample tables built from the walked groups.
#include "rsv/assembly.h"
#include "mp4/box_writer.h"
#include "base/bytes.h"

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

void writeTimeTable(BoxWriter& w, uint32_t type, const std::vector<std::pair<uint32_t, int64_t>>& rows,
                    bool negative) {
    w.beginFull(type, negative ? 1 : 0, 0);
    w.u32(uint32_t(rows.size()));
    for (const auto& [count, value] : rows) {
        w.u32(count);
        w.u32(uint32_t(int32_t(value)));
    }
    w.end();
}

void addRun(std::vector<std::pair<uint32_t, int64_t>>& rows, int64_t value, uint32_t count = 1) {
    if (!rows.empty() && rows.back().second == value) rows.back().first += count;
    else rows.emplace_back(count, value);
}

}  // namespace

std::vector<uint8_t> Assembly::buildMoov(int64_t dataStart, int64_t payloadBase,
                                         uint64_t co64Threshold) const {
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
        w.begin(fourcc("trak"));
        w.raw(withDuration(info.tkhd, 20, 28, trackEditDuration(t)));
        if (info.hasEdits) {
            w.begin(fourcc("edts"));
            w.beginFull(fourcc("elst"), 1, 0);
            std::vector<EditEntry> edits;
            for (const auto& e : info.edits) {
                if (e.mediaTime < 0) {
                    edits.push_back(e);
                    continue;
                }
                EditEntry m = e;
                m.mediaTime += t.kind == TrackKind::Video ? t.editShift : 0;
                m.segmentDuration = 0;
                int64_t media = t.compositionEnd - m.mediaTime;
                if (media > 0)
                    m.segmentDuration = int64_t((__int128(media) * ref_.movieTimescale +
                                                 info.timescale / 2) / info.timescale);
                edits.push_back(m);
                break;  // one media edit: the recovered length replaces the reference's
            }
            w.u32(uint32_t(edits.size()));
            for (const auto& e : edits) {
                w.u64(uint64_t(e.segmentDuration));
                w.u64(uint64_t(e.mediaTime));
                w.u32(uint32_t(e.rate));
            }
            w.end();
            w.end();
        }
        if (t.kind == TrackKind::Rtmd && !info.tref.empty()) w.raw(info.tref);
        w.begin(fourcc("mdia"));
        w.raw(withDuration(info.mdhd, 16, 24, t.mediaDuration));
        w.raw(info.hdlr);
        w.begin(fourcc("minf"));
        w.raw(info.mediaHeader);
        w.raw(info.dinf);
        w.begin(fourcc("stbl"));
        w.raw(info.stsd);

        writeTimeTable(w, fourcc("stts"), t.stts, false);
        std::vector<std::pair<uint32_t, int64_t>> rows;

        if (t.kind == TrackKind::Video) {
            if (std::any_of(t.ctts.begin(), t.ctts.end(), [](int64_t c) { return c != 0; })) {
                rows.clear();
                bool negative = false;
                for (int64_t c : t.ctts) {
                    addRun(rows, c);
                    negative |= c < 0;
                }
                writeTimeTable(w, fourcc("ctts"), rows, negative);
            }
            if (t.syncSamples.size() != t.samples) {
                w.beginFull(fourcc("stss"), 0, 0);
                w.u32(uint32_t(t.syncSamples.size()));
                for (uint32_t s : t.syncSamples) w.u32(s);
                w.end();
            }
        }

        w.beginFull(fourcc("stsc"), 0, 0);
        size_t countAt = out.size();
        w.u32(0);
        uint32_t entries = 0, lastSpc = 0;
        for (size_t i = 0; i < t.chunks.size(); ++i) {
            if (i > 0 && t.chunks[i].samples == lastSpc) continue;
            lastSpc = t.chunks[i].samples;
            w.u32(uint32_t(i + 1));
            w.u32(lastSpc);
            w.u32(info.descriptionIndex);
            ++entries;
        }
        setBe32(&out[countAt], entries);
        w.end();

        w.beginFull(fourcc("stsz"), 0, 0);
        if (t.kind == TrackKind::Video) {
            w.u32(0);
            w.u32(uint32_t(t.sizes.size()));
            for (uint32_t s : t.sizes) w.u32(s);
        } else if (t.kind == TrackKind::Audio && t.oneSamplePerChunk) {
            w.u32(0);
            w.u32(uint32_t(t.chunks.size()));
            for (const auto& c : t.chunks) w.u32(c.bytes);
        } else {
            w.u32(t.kind == TrackKind::Rtmd ? ref_.rtmdSampleSize : info.sizes.constant);
            w.u32(uint32_t(t.samples));
        }
        w.end();

        bool wide = false;
        for (const auto& c : t.chunks)
            wide |= uint64_t(c.offset - dataStart + payloadBase) > co64Threshold;
        w.beginFull(wide ? fourcc("co64") : fourcc("stco"), 0, 0);
        w.u32(uint32_t(t.chunks.size()));
        for (const auto& c : t.chunks) {
            uint64_t o = uint64_t(c.offset - dataStart + payloadBase);
            if (wide) w.u64(o);
            else w.u32(uint32_t(o));
        }
        w.end();

        w.end();  // stbl
        w.end();  // minf
        w.end();  // mdia
        w.end();  // trak
    }
    w.end();  // moov
    return out;
}

}  // namespace tv
