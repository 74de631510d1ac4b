// Sample entry formats: video codec configuration (avcC/hvcC) and PCM audio
// layout, read from the first entry of a reference track's stsd.
#include "mp4/box.h"
#include "base/bytes.h"
#include "base/errors.h"
#include "mp4/reference.h"
#include "mp4/sample_entry.h"

namespace tv {
namespace {

[[noreturn]] void fail(const std::string& why) {
    throw EngineError(EngineError::Kind::Reference, "reference file: " + why);
}

// Children of a sample entry that starts its box list at childAt (relative to
// the entry's first byte). Empty when the bytes there are not boxes.
std::optional<std::vector<Box>> entryChildren(const MemorySource& entry, int64_t childAt) {
    if (childAt > entry.size()) return std::nullopt;
    return parseBoxes(entry, childAt, entry.size(), nullptr);
}

void readAvcC(const uint8_t* p, size_t n, VideoFormat& v) {
    ByteReader r(p, n);
    r.u8();  // configurationVersion
    r.skip(3);
    v.nalLengthSize = (r.u8() & 3) + 1;
    int sps = r.u8() & 31;
    for (int i = 0; i < sps && r.ok(); ++i) {
        uint16_t len = r.u16();
        if (len > r.remaining()) fail("avcC parameter set cut short");
        v.parameterSets.emplace_back(r.pos(), r.pos() + len);
        r.skip(len);
    }
    int pps = r.u8();
    for (int i = 0; i < pps && r.ok(); ++i) {
        uint16_t len = r.u16();
        if (len > r.remaining()) fail("avcC parameter set cut short");
        v.parameterSets.emplace_back(r.pos(), r.pos() + len);
        r.skip(len);
    }
    if (!r.ok()) fail("avcC box damaged");
}

void readHvcC(const uint8_t* p, size_t n, VideoFormat& v) {
    ByteReader r(p, n);
    r.skip(21);
    v.nalLengthSize = (r.u8() & 3) + 1;
    int arrays = r.u8();
    for (int a = 0; a < arrays && r.ok(); ++a) {
        r.u8();
        uint16_t count = r.u16();
        for (int i = 0; i < count && r.ok(); ++i) {
            uint16_t len = r.u16();
            if (len > r.remaining()) fail("hvcC parameter set cut short");
            v.parameterSets.emplace_back(r.pos(), r.pos() + len);
            r.skip(len);
        }
    }
    if (!r.ok()) fail("hvcC box damaged");
}

void readVideoEntry(const MemorySource& entry, const std::vector<uint8_t>& e, TrackInfo& t) {
    if (e.size() < 86) fail("video sample entry too short");
    t.video.width = be16(&e[32]);
    t.video.height = be16(&e[34]);
    auto kids = entryChildren(entry, 86);
    if (!kids) fail("video sample entry damaged");
    uint32_t want = t.video.codec == VideoCodec::H264 ? fourcc("avcC") : fourcc("hvcC");
    for (const auto& b : *kids) {
        if (b.type() != want) continue;
        auto p = e.data() + b.header.payloadOffset();
        size_t n = size_t(b.header.size - b.header.headerSize);
        if (t.video.codec == VideoCodec::H264) readAvcC(p, n, t.video);
        else readHvcC(p, n, t.video);
    }
    if (t.video.parameterSets.empty())
        fail("the video sample entry has no decoder configuration (" + fourccText(want) + ")");
}

void readAudioEntry(const MemorySource& entry, const std::vector<uint8_t>& e, TrackInfo& t) {
    if (e.size() < 36) fail("audio sample entry too short");
    uint16_t version = be16(&e[16]);
    uint32_t channels = be16(&e[24]);
    uint32_t bits = be16(&e[26]);
    uint32_t bytesPerFrame = 0;
    int64_t childAt = 36;
    if (version == 1) {
        // QuickTime version 1 adds four fields; the ISO version 1 entry does
        // not. Whichever reading yields well-formed child boxes wins.
        auto iso = entryChildren(entry, 36);
        if (!(iso && !iso->empty()) && e.size() >= 52) {
            childAt = 52;
            bytesPerFrame = be32(&e[44]);
        }
    } else if (version == 2) {
        if (e.size() < 72) fail("audio sample entry too short");
        channels = be32(&e[48]);
        bits = be32(&e[56]);
        childAt = 72;
    }
    auto kids = entryChildren(entry, childAt);
    if (kids) {
        for (const auto& b : *kids) {
            if (b.type() == fourcc("pcmC") && b.header.size >= b.header.headerSize + 6) {
                bits = e[size_t(b.header.payloadOffset()) + 5];
            }
        }
    }
    switch (t.entryType) {
    case fourcc("twos"): case fourcc("sowt"): case fourcc("ipcm"): case fourcc("lpcm"):
    case fourcc("in24"): case fourcc("in32"): case fourcc("raw "): case fourcc("fpcm"):
    case fourcc("fl32"): case fourcc("fl64"):
        break;
    default:
        return;  // compressed audio: bytesPerFrame stays 0
    }
    if (t.entryType == fourcc("in24")) bits = 24;
    if (t.entryType == fourcc("in32") || t.entryType == fourcc("fl32")) bits = 32;
    if (t.entryType == fourcc("fl64")) bits = 64;
    if (bytesPerFrame == 0 && bits % 8 == 0) bytesPerFrame = channels * (bits / 8);
    if (channels == 0 || channels > 64 || bits == 0 || bits > 64 || bytesPerFrame == 0 ||
        bytesPerFrame > 64 * 8)
        fail("implausible audio format in track " + std::to_string(t.id));
    t.audio = {channels, bits, bytesPerFrame};
}

}  // namespace

void parseSampleEntry(const std::vector<uint8_t>& stsd, TrackInfo& t) {
    // stsd: header(8) version/flags(4) entry_count(4), then the entries.
    if (stsd.size() < 16 + 8) fail("sample description too short");
    MemorySource src(stsd.data() + 16, stsd.size() - 16);
    std::string why;
    auto h = readBoxHeader(src, 0, src.size(), &why);
    if (!h) fail("damaged sample description: " + why);
    t.entryType = h->type;
    std::vector<uint8_t> e(stsd.begin() + 16, stsd.begin() + 16 + h->size);
    MemorySource entry(e);
    switch (t.entryType) {
    case fourcc("avc1"): case fourcc("avc3"):
        t.video.codec = VideoCodec::H264;
        readVideoEntry(entry, e, t);
        break;
    case fourcc("hvc1"): case fourcc("hev1"):
        t.video.codec = VideoCodec::H265;
        readVideoEntry(entry, e, t);
        break;
    default:
        if (t.handler == fourcc("soun")) readAudioEntry(entry, e, t);
        break;
    }
}

}  // namespace tv
