#include "mp4/tables.h"

#include "base/bytes.h"

namespace tv {
namespace {

// Reads version/flags and an entry count; checks that count entries of
// entrySize bytes fit in what is left.
bool countedHeader(ByteReader& r, size_t entrySize, const char* box, uint32_t& count,
                   std::string* why, uint8_t* version = nullptr) {
    uint32_t vf = r.u32();
    if (version) *version = uint8_t(vf >> 24);
    count = r.u32();
    if (!r.ok()) {
        if (why) *why = std::string(box) + " too short";
        return false;
    }
    if (count > r.remaining() / entrySize) {
        if (why) *why = std::string(box) + " claims " + std::to_string(count) +
                        " entries but holds " + std::to_string(r.remaining() / entrySize);
        return false;
    }
    return true;
}

}  // namespace

bool readTimeTable(const uint8_t* p, size_t n, bool signedValues, std::vector<TimeEntry>& out,
                   std::string* why) {
    ByteReader r(p, n);
    uint32_t count = 0;
    uint8_t version = 0;
    if (!countedHeader(r, 8, signedValues ? "ctts" : "stts", count, why, &version)) return false;
    out.clear();
    out.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        TimeEntry e;
        e.count = r.u32();
        uint32_t v = r.u32();
        // ctts version 0 is unsigned by the standard, but writers store negative
        // offsets there too; reading it as signed is what players do.
        e.value = signedValues ? int64_t(int32_t(v)) : int64_t(v);
        out.push_back(e);
    }
    return true;
}

bool readStsc(const uint8_t* p, size_t n, std::vector<StscEntry>& out, std::string* why) {
    ByteReader r(p, n);
    uint32_t count = 0;
    if (!countedHeader(r, 12, "stsc", count, why)) return false;
    out.clear();
    out.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        StscEntry e;
        e.firstChunk = r.u32();
        e.samplesPerChunk = r.u32();
        e.descriptionIndex = r.u32();
        if (e.firstChunk == 0 || (!out.empty() && e.firstChunk <= out.back().firstChunk)) {
            if (why) *why = "stsc chunk numbers out of order";
            return false;
        }
        out.push_back(e);
    }
    return true;
}

bool readStsz(const uint8_t* p, size_t n, SampleSizes& out, std::string* why) {
    ByteReader r(p, n);
    r.u32();
    out.constant = r.u32();
    out.count = r.u32();
    out.sizes.clear();
    if (!r.ok()) {
        if (why) *why = "stsz too short";
        return false;
    }
    if (out.constant != 0) return true;
    if (out.count > r.remaining() / 4) {
        if (why) *why = "stsz claims " + std::to_string(out.count) + " sizes but holds " +
                        std::to_string(r.remaining() / 4);
        return false;
    }
    out.sizes.reserve(out.count);
    for (uint32_t i = 0; i < out.count; ++i) out.sizes.push_back(r.u32());
    return true;
}

bool readChunkOffsets(const uint8_t* p, size_t n, bool wide, std::vector<int64_t>& out,
                      std::string* why) {
    ByteReader r(p, n);
    uint32_t count = 0;
    if (!countedHeader(r, wide ? 8 : 4, wide ? "co64" : "stco", count, why)) return false;
    out.clear();
    out.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t v = wide ? r.u64() : r.u32();
        if (v > uint64_t(INT64_MAX)) {
            if (why) *why = "chunk offset out of range";
            return false;
        }
        out.push_back(int64_t(v));
    }
    return true;
}

bool readStss(const uint8_t* p, size_t n, std::vector<uint32_t>& out, std::string* why) {
    ByteReader r(p, n);
    uint32_t count = 0;
    if (!countedHeader(r, 4, "stss", count, why)) return false;
    out.clear();
    out.reserve(count);
    for (uint32_t i = 0; i < count; ++i) out.push_back(r.u32());
    return true;
}

bool readElst(const uint8_t* p, size_t n, std::vector<EditEntry>& out, std::string* why) {
    if (n < 4) {
        if (why) *why = "elst too short";
        return false;
    }
    bool v1 = p[0] == 1;
    ByteReader r(p, n);
    uint32_t count = 0;
    if (!countedHeader(r, v1 ? 20 : 12, "elst", count, why)) return false;
    out.clear();
    for (uint32_t i = 0; i < count; ++i) {
        EditEntry e;
        if (v1) {
            e.segmentDuration = int64_t(r.u64());
            e.mediaTime = int64_t(r.u64());
        } else {
            e.segmentDuration = r.u32();
            e.mediaTime = int32_t(r.u32());
        }
        e.rate = int32_t(r.u32());
        out.push_back(e);
    }
    return true;
}

std::vector<uint32_t> samplesPerChunk(const std::vector<StscEntry>& stsc, size_t chunkCount) {
    std::vector<uint32_t> out(chunkCount, 0);
    for (size_t i = 0; i < stsc.size(); ++i) {
        size_t first = stsc[i].firstChunk - 1;
        size_t last = (i + 1 < stsc.size()) ? stsc[i + 1].firstChunk - 1 : chunkCount;
        for (size_t c = first; c < last && c < chunkCount; ++c) out[c] = stsc[i].samplesPerChunk;
    }
    return out;
}

}  // namespace tv
