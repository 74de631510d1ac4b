#include "mp4/reference.h"

#include "mp4/sample_entry.h"

#include "mp4/box.h"
#include "base/bytes.h"
#include "base/errors.h"

#include <algorithm>
#include <map>

namespace tv {
namespace {

// A camera's moov holds a few hundred bytes per second of footage; this cap
// keeps a damaged size from driving a huge allocation.
constexpr int64_t kMaxMoovBytes = 128LL << 20;

[[noreturn]] void fail(const std::string& why) {
    throw EngineError(EngineError::Kind::Reference, "reference file: " + why);
}

std::vector<uint8_t> wholeBox(const ByteSource& src, const Box& b) {
    return src.readVector(b.header.offset, size_t(b.header.size));
}
std::vector<uint8_t> payloadOf(const ByteSource& src, const Box& b) {
    return src.readVector(b.header.payloadOffset(), size_t(b.header.size - b.header.headerSize));
}

// Reads version-dependent timescale/duration of mvhd or mdhd payloads.
bool readTimescale(const std::vector<uint8_t>& p, uint32_t& timescale, uint64_t& duration) {
    if (p.size() < 4) return false;
    if (p[0] == 1) {
        if (p.size() < 32) return false;
        timescale = be32(&p[20]);
        duration = be64(&p[24]);
    } else {
        if (p.size() < 20) return false;
        timescale = be32(&p[12]);
        duration = be32(&p[16]);
    }
    return timescale != 0;
}

// The sample tables of one track's stbl; a table that is present must parse.
void readSampleTables(const ByteSource& src, const Box& stbl, TrackInfo& t) {
    std::string why;
    auto table = [&](const char (&name)[5]) -> std::vector<uint8_t> {
        const Box* b = stbl.child(fourcc(name));
        return b ? payloadOf(src, *b) : std::vector<uint8_t>{};
    };
    auto p = table("stts");
    if (!p.empty() && !readTimeTable(p.data(), p.size(), false, t.stts, &why)) fail(why);
    p = table("ctts");
    if (!p.empty() && !readTimeTable(p.data(), p.size(), true, t.ctts, &why)) fail(why);
    if (stbl.child(fourcc("stss"))) {
        p = table("stss");
        if (!readStss(p.data(), p.size(), t.stss, &why)) fail(why);
        t.hasStss = true;
    }
    p = table("stsc");
    if (!p.empty() && !readStsc(p.data(), p.size(), t.stsc, &why)) fail(why);
    p = table("stsz");
    if (!p.empty() && !readStsz(p.data(), p.size(), t.sizes, &why)) fail(why);
    if (stbl.child(fourcc("co64"))) {
        p = table("co64");
        if (!readChunkOffsets(p.data(), p.size(), true, t.chunkOffsets, &why)) fail(why);
    } else {
        p = table("stco");
        if (!p.empty() && !readChunkOffsets(p.data(), p.size(), false, t.chunkOffsets, &why))
            fail(why);
    }
}

void parseTrack(const ByteSource& src, const Box& trak, TrackInfo& t) {
    std::string why;
    const Box* tkhd = trak.child(fourcc("tkhd"));
    const Box* mdhd = trak.path({fourcc("mdia"), fourcc("mdhd")});
    const Box* hdlr = trak.path({fourcc("mdia"), fourcc("hdlr")});
    const Box* minf = trak.path({fourcc("mdia"), fourcc("minf")});
    const Box* stbl = minf ? minf->child(fourcc("stbl")) : nullptr;
    if (!tkhd || !mdhd || !hdlr || !minf || !stbl) fail("a track lacks its header boxes");

    t.tkhd = wholeBox(src, *tkhd);
    auto tk = payloadOf(src, *tkhd);
    size_t idAt = (!tk.empty() && tk[0] == 1) ? 20 : 12;
    if (tk.size() < idAt + 4) fail("track header too short");
    t.id = be32(&tk[idAt]);

    t.mdhd = wholeBox(src, *mdhd);
    if (!readTimescale(payloadOf(src, *mdhd), t.timescale, t.mediaDuration))
        fail("media header of track " + std::to_string(t.id) + " is damaged");
    t.hdlr = wholeBox(src, *hdlr);
    auto hp = payloadOf(src, *hdlr);
    if (hp.size() < 12) fail("handler box too short");
    t.handler = be32(&hp[8]);

    for (uint32_t mh : {fourcc("vmhd"), fourcc("smhd"), fourcc("nmhd"), fourcc("sthd"),
                        fourcc("gmhd"), fourcc("hmhd")}) {
        if (const Box* b = minf->child(mh)) {
            t.mediaHeader = wholeBox(src, *b);
            break;
        }
    }
    if (const Box* d = minf->child(fourcc("dinf"))) t.dinf = wholeBox(src, *d);
    if (const Box* tr = trak.child(fourcc("tref"))) t.tref = wholeBox(src, *tr);
    if (const Box* elst = trak.path({fourcc("edts"), fourcc("elst")})) {
        auto p = payloadOf(src, *elst);
        if (!readElst(p.data(), p.size(), t.edits, &why)) fail(why);
        t.hasEdits = true;
    }

    const Box* stsd = stbl->child(fourcc("stsd"));
    if (!stsd) fail("track " + std::to_string(t.id) + " has no sample description");
    t.stsd = wholeBox(src, *stsd);

    readSampleTables(src, *stbl, t);
    if (!t.stsc.empty()) t.descriptionIndex = t.stsc.front().descriptionIndex;

    std::map<uint32_t, uint64_t> deltas;
    for (const auto& e : t.stts) deltas[uint32_t(e.value)] += e.count;
    uint64_t best = 0;
    for (const auto& [delta, count] : deltas)
        if (count > best) best = count, t.sampleDelta = delta;

    parseSampleEntry(t.stsd, t);
    if (t.handler == fourcc("vide")) {
        t.kind = TrackKind::Video;
    } else if (t.handler == fourcc("soun")) {
        t.kind = TrackKind::Audio;
    } else if (t.entryType == fourcc("rtmd")) {
        t.kind = TrackKind::Rtmd;
    }
}

// Learns the order of one group's chunks from the reference's chunk offsets:
// the track sequence from the first chunk of the leading track until that
// track comes round again.
std::vector<int> learnChunkOrder(const Reference& ref, const std::vector<int>& used) {
    std::vector<std::pair<int64_t, int>> chunks;
    for (int i : used)
        for (int64_t off : ref.tracks[size_t(i)].chunkOffsets) chunks.emplace_back(off, i);
    std::sort(chunks.begin(), chunks.end());
    std::vector<int> order;
    for (const auto& c : chunks) {
        if (!order.empty() && order.back() == c.second) continue;
        if (std::find(order.begin(), order.end(), c.second) != order.end()) break;
        order.push_back(c.second);
    }
    return order;
}

}  // namespace

void parseMovie(const ByteSource& moov, int64_t begin, int64_t end, Reference& ref) {
    std::string why;
    auto boxes = parseBoxes(moov, begin, end, &why);
    if (!boxes) fail("damaged movie header: " + why);
    Box root;
    root.children = std::move(*boxes);
    const Box* mvhd = root.child(fourcc("mvhd"));
    if (!mvhd) fail("no movie header (mvhd)");
    ref.mvhd = wholeBox(moov, *mvhd);
    uint64_t movieDuration = 0;
    if (!readTimescale(payloadOf(moov, *mvhd), ref.movieTimescale, movieDuration))
        fail("damaged movie header (mvhd)");

    for (const Box* trak : root.all(fourcc("trak"))) {
        TrackInfo t;
        parseTrack(moov, *trak, t);
        ref.tracks.push_back(std::move(t));
    }
    std::vector<int> used;
    for (size_t i = 0; i < ref.tracks.size(); ++i) {
        const auto& t = ref.tracks[i];
        if (t.kind == TrackKind::Video && ref.video < 0 && !t.video.parameterSets.empty()) {
            ref.video = int(i);
            used.push_back(int(i));
        } else if (t.kind == TrackKind::Rtmd && ref.rtmd < 0) {
            ref.rtmd = int(i);
            used.push_back(int(i));
        } else if (t.kind == TrackKind::Audio) {
            if (t.audio.bytesPerFrame == 0)
                fail("audio format '" + fourccText(t.entryType) + "' is not supported");
            used.push_back(int(i));
        }
    }
    if (ref.video < 0) fail("no H.264/H.265 video track: not a camera recording");
    if (ref.rtmd < 0) fail("no real-time metadata (rtmd) track: not a supported camera recording");

    const auto& v = ref.videoTrack();
    ref.frameDuration = v.sampleDelta;
    if (ref.frameDuration == 0) fail("the video track has no frame duration");
    const auto& r = ref.tracks[size_t(ref.rtmd)];
    ref.rtmdSampleSize = r.sizes.constant ? r.sizes.constant
                                          : (r.sizes.sizes.empty() ? 0 : r.sizes.sizes.front());
    if (ref.rtmdSampleSize < 28) fail("the rtmd sample size is implausible");

    ref.chunkOrder = learnChunkOrder(ref, used);
    if (ref.chunkOrder.size() < used.size()) {
        // A reference too short to show a whole group: assume the usual order.
        ref.chunkOrder = {ref.rtmd, ref.video};
        for (int i : used)
            if (ref.tracks[size_t(i)].kind == TrackKind::Audio) ref.chunkOrder.push_back(i);
    }
    // The walker counts frames on the rtmd run, so rtmd must lead and the
    // audio, whose size follows from the frame count, must follow the video.
    if (ref.chunkOrder.front() != ref.rtmd || ref.chunkOrder[1] != ref.video)
        fail("chunk layout not supported (groups must start with rtmd, then video)");
    for (size_t i = 2; i < ref.chunkOrder.size(); ++i) ref.audio.push_back(ref.chunkOrder[i]);

    auto perChunk = samplesPerChunk(r.stsc, r.chunkOffsets.size());
    if (!perChunk.empty()) ref.framesPerGroup = perChunk.front();
}

Reference parseReference(const ByteSource& src) {
    Reference ref;
    if (src.size() == 0) fail("the file is empty");
    int64_t pos = 0;
    bool haveMoov = false;
    std::string why;
    while (pos < src.size()) {
        auto h = readBoxHeader(src, pos, src.size(), &why);
        if (!h) {
            if (haveMoov) break;  // trailing damage after a complete moov is harmless
            fail("not an MP4/MOV file or damaged (" + why + ")");
        }
        if (h->type == fourcc("ftyp") && ref.ftyp.empty() && h->size <= 4096) {
            ref.ftyp = src.readVector(h->offset, size_t(h->size));
        } else if (h->type == fourcc("mdat") && ref.mdatPayloadOffset < 0) {
            ref.mdatPayloadOffset = h->payloadOffset();
        } else if (h->type == fourcc("moov") && !haveMoov) {
            if (h->size > kMaxMoovBytes) fail("movie header larger than supported");
            auto bytes = src.readVector(h->offset, size_t(h->size));
            if (int64_t(bytes.size()) != h->size) fail("movie header cut short");
            MemorySource moov(bytes);
            parseMovie(moov, h->headerSize, h->size, ref);
            haveMoov = true;
        }
        pos = h->end();
    }
    if (!haveMoov) fail("no movie header (moov): not a finished recording");
    return ref;
}

std::string describe(const Reference& ref) {
    const auto& v = ref.videoTrack();
    std::string s = (v.video.codec == VideoCodec::H264 ? "H.264 " : "H.265 ") +
                    std::to_string(v.video.width) + "x" + std::to_string(v.video.height);
    char fps[32];
    snprintf(fps, sizeof fps, " %.3f fps", double(v.timescale) / ref.frameDuration);
    s += fps;
    s += ", rtmd " + std::to_string(ref.rtmdSampleSize) + " bytes";
    for (int a : ref.audio) {
        const auto& t = ref.tracks[size_t(a)];
        s += ", audio '" + fourccText(t.entryType) + "' " + std::to_string(t.audio.channels) +
             " ch " + std::to_string(t.audio.bitsPerSample) + " bit " +
             std::to_string(t.timescale) + " Hz";
    }
    if (ref.audio.empty()) s += ", no audio";
    return s;
}

}  // namespace tv
