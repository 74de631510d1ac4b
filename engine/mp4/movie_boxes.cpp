#include "mp4/movie_boxes.h"

#include "base/bytes.h"

#include <algorithm>
#include <cstring>

namespace tv {
namespace {

const uint32_t kMatrix[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};

void time(BoxWriter& w, uint64_t v, bool wide) {
    if (wide) w.u64(v);
    else w.u32(uint32_t(std::min<uint64_t>(v, UINT32_MAX)));
}

void timeTable(BoxWriter& w, uint32_t type, const std::vector<TimeRun>& runs) {
    const bool negative = std::any_of(runs.begin(), runs.end(), [](const TimeRun& r) { return r.value < 0; });
    w.beginFull(type, negative ? 1 : 0, 0);
    w.u32(uint32_t(runs.size()));
    for (const auto& r : runs) {
        w.u32(r.count);
        w.u32(uint32_t(int32_t(r.value)));
    }
    w.end();
}

void sampleTables(BoxWriter& w, const TrackTables& t) {
    timeTable(w, fourcc("stts"), t.stts);
    if (!t.ctts.empty()) timeTable(w, fourcc("ctts"), t.ctts);
    if (t.hasStss) {
        w.beginFull(fourcc("stss"), 0, 0);
        w.u32(uint32_t(t.stss.size()));
        for (uint32_t s : t.stss) w.u32(s);
        w.end();
    }
    w.beginFull(fourcc("stsc"), 0, 0);
    const size_t countAt = w.bytes().size();
    w.u32(0);
    uint32_t entries = 0;
    for (size_t i = 0; i < t.samplesPerChunk.size(); ++i) {
        if (i > 0 && t.samplesPerChunk[i] == t.samplesPerChunk[i - 1]) continue;
        w.u32(uint32_t(i + 1));
        w.u32(t.samplesPerChunk[i]);
        w.u32(t.descriptionIndex);
        ++entries;
    }
    setBe32(&w.bytes()[countAt], entries);
    w.end();

    w.beginFull(fourcc("stsz"), 0, 0);
    w.u32(t.constantSize);
    if (t.constantSize) {
        w.u32(uint32_t(t.sampleCount));
    } else {
        w.u32(uint32_t(t.sizes.size()));
        for (uint32_t s : t.sizes) w.u32(s);
    }
    w.end();

    const bool wide = std::any_of(t.chunkOffsets.begin(), t.chunkOffsets.end(),
                                  [&](uint64_t o) { return o > t.co64Above; });
    w.beginFull(wide ? fourcc("co64") : fourcc("stco"), 0, 0);
    w.u32(uint32_t(t.chunkOffsets.size()));
    for (uint64_t o : t.chunkOffsets) {
        if (wide) w.u64(o);
        else w.u32(uint32_t(o));
    }
    w.end();
}

}  // namespace

void addRun(std::vector<TimeRun>& runs, int64_t value, uint32_t count) {
    if (!runs.empty() && runs.back().value == value) runs.back().count += count;
    else runs.push_back({count, value});
}

void writeTrack(BoxWriter& w, const TrackBoxes& b, const TrackTables& tables) {
    w.begin(fourcc("trak"));
    w.raw(b.tkhd);
    w.raw(b.edts);
    w.raw(b.tref);
    w.begin(fourcc("mdia"));
    w.raw(b.mdhd);
    w.raw(b.hdlr);
    w.begin(fourcc("minf"));
    w.raw(b.mediaHeader);
    w.raw(b.dinf);
    w.begin(fourcc("stbl"));
    w.raw(b.stsd);
    sampleTables(w, tables);
    w.end();  // stbl
    w.end();  // minf
    w.end();  // mdia
    w.end();  // trak
}

std::vector<uint8_t> tkhdBox(const TrackHeader& h) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.beginFull(fourcc("tkhd"), h.wide ? 1 : 0, h.flags);
    time(w, 0, h.wide);  // creation
    time(w, 0, h.wide);  // modification
    w.u32(h.id);
    w.u32(0);
    time(w, h.duration, h.wide);
    w.u64(0);
    w.u32(0);                               // layer, alternate group
    w.u32(h.audio ? 0x01000000u : 0u);      // volume, reserved
    for (uint32_t m : kMatrix) w.u32(m);
    w.u32(h.width << 16);
    w.u32(h.height << 16);
    w.end();
    return out;
}

std::vector<uint8_t> mvhdBox(uint32_t timescale, uint64_t duration, uint32_t nextTrackId, bool wide) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.beginFull(fourcc("mvhd"), wide ? 1 : 0, 0);
    time(w, 0, wide);
    time(w, 0, wide);
    w.u32(timescale);
    time(w, duration, wide);
    w.u32(0x00010000);  // rate
    putBe16(out, 0x0100);  // volume
    putBe16(out, 0);
    w.u64(0);
    for (uint32_t m : kMatrix) w.u32(m);
    for (int i = 0; i < 6; ++i) w.u32(0);
    w.u32(nextTrackId);
    w.end();
    return out;
}

std::vector<uint8_t> edtsBox(const std::vector<EditEntry>& edits) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.begin(fourcc("edts"));
    w.beginFull(fourcc("elst"), 1, 0);
    w.u32(uint32_t(edits.size()));
    for (const auto& e : edits) {
        w.u64(uint64_t(e.segmentDuration));
        w.u64(uint64_t(e.mediaTime));
        w.u32(uint32_t(e.rate));
    }
    w.end();
    w.end();
    return out;
}

std::vector<uint8_t> mdhdBox(uint32_t timescale, uint64_t duration, bool wide) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.beginFull(fourcc("mdhd"), wide ? 1 : 0, 0);
    time(w, 0, wide);
    time(w, 0, wide);
    w.u32(timescale);
    time(w, duration, wide);
    putBe16(out, 0x55C4);  // language "und"
    putBe16(out, 0);
    w.end();
    return out;
}

std::vector<uint8_t> hdlrBox(uint32_t handler, const char* name) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.beginFull(fourcc("hdlr"), 0, 0);
    w.u32(0);
    w.u32(handler);
    w.u32(0);
    w.u32(0);
    w.u32(0);
    out.insert(out.end(), name, name + std::strlen(name) + 1);
    w.end();
    return out;
}

std::vector<uint8_t> mediaHeaderBox(uint32_t handler) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    if (handler == fourcc("vide")) {
        w.beginFull(fourcc("vmhd"), 0, 1);
        w.u64(0);
    } else if (handler == fourcc("soun")) {
        w.beginFull(fourcc("smhd"), 0, 0);
        w.u32(0);
    } else if (handler == fourcc("tmcd")) {
        w.begin(fourcc("gmhd"));
        w.beginFull(fourcc("gmin"), 0, 0);
        putBe16(out, 0x40);
        for (int i = 0; i < 3; ++i) putBe16(out, 0x8000);
        w.u32(0);
        w.end();
    } else {
        w.beginFull(fourcc("nmhd"), 0, 0);
    }
    w.end();
    return out;
}

std::vector<uint8_t> dinfBox() {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.begin(fourcc("dinf"));
    w.beginFull(fourcc("dref"), 0, 0);
    w.u32(1);
    w.beginFull(fourcc("url "), 0, 1);
    w.end();
    w.end();
    w.end();
    return out;
}

std::vector<uint8_t> stsdBox(uint32_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out;
    BoxWriter w(out);
    w.beginFull(fourcc("stsd"), 0, 0);
    w.u32(1);
    w.begin(type);
    for (int i = 0; i < 6; ++i) out.push_back(0);
    putBe16(out, 1);  // data reference index
    w.raw(body);
    w.end();
    w.end();
    return out;
}

std::vector<uint8_t> visualEntryBody(uint32_t width, uint32_t height, const char* compressor,
                                     const std::vector<uint8_t>& config) {
    std::vector<uint8_t> b;
    for (int i = 0; i < 4; ++i) putBe32(b, 0);  // pre_defined, reserved
    putBe16(b, uint16_t(width));
    putBe16(b, uint16_t(height));
    putBe32(b, 0x00480000);  // 72 dpi
    putBe32(b, 0x00480000);
    putBe32(b, 0);
    putBe16(b, 1);  // frame count
    uint8_t name[32] = {};
    const size_t n = std::min<size_t>(std::strlen(compressor), 31);
    name[0] = uint8_t(n);
    std::memcpy(name + 1, compressor, n);
    b.insert(b.end(), name, name + 32);
    putBe16(b, 0x0018);
    putBe16(b, 0xFFFF);
    b.insert(b.end(), config.begin(), config.end());
    return b;
}

}  // namespace tv
