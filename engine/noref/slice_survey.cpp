#include "noref/slice_survey.h"

#include "base/errors.h"
#include "codec/nal.h"
#include "codec/nal_units.h"
#include "mp4/config_record.h"

#include <algorithm>
#include <set>

namespace tv {
namespace {

// Pictures of the first GOP used: enough for the P/B fields, few enough to
// keep a 4K search within its time bound.
constexpr size_t kMaxGopPictures = 32;
// And few enough bytes to keep memory bounded at high bit rates (an
// intra-only 4K picture can be several megabytes).
constexpr size_t kMaxGopBytes = 96u << 20;
// More than any slice header with its CABAC alignment and first data bits
// (the header parser reads at most 1024 bytes).
constexpr size_t kSliceHeadBytes = 1100;

}  // namespace

void needReference(const std::string& why) {
    throw EngineError(EngineError::Kind::ReferenceNeeded,
                      "the H.264 parameter sets could not be rebuilt from the recording (" + why +
                          "); a reference clip from the same camera is needed");
}

std::vector<GopPicture> readGop(const ByteSource& rsv, const RsvRecording& rec) {
    // The search starts at the first IDR picture: when the first pictures
    // were lost (or the recording begins inside a GOP), those before it
    // refer to pictures that are not there. It reads up to that group's end.
    size_t from = 0;
    while (from < rec.frames.size() && !(rec.frames[from].key && rec.frames[from].firstSliceType == 5)) ++from;
    if (from == rec.frames.size()) needReference("the recording's first groups hold no IDR picture");
    const auto next = std::upper_bound(rec.groupStarts.begin(), rec.groupStarts.end(), from);
    const size_t end = std::min(next != rec.groupStarts.end() ? *next : rec.frames.size(), from + kMaxGopPictures);
    std::vector<GopPicture> gop;
    size_t bytes = 0;
    for (size_t i = from; i < end; ++i) {
        bytes += rec.frames[i].size;
        if (i > from && bytes > kMaxGopBytes) break;
        GopPicture pic;
        pic.sample = rsv.readVector(rec.frames[i].offset, rec.frames[i].size);
        forEachNal(pic.sample.data(), pic.sample.size(), 4, [&](const uint8_t* nal, size_t len) {
            GopNal n;
            n.type = nal[0] & 31;
            const bool slice = n.type >= 1 && n.type <= 5;
            // A slice's header lies in its first bytes; the rest is only
            // decoded, from the sample.
            n.bytes.assign(nal, nal + (slice ? std::min(len, kSliceHeadBytes) : len));
            if (slice) pic.slices.push_back(std::move(n));
            else if (n.type == 6) pic.sei.push_back(std::move(n));
            return true;
        });
        if (pic.slices.empty()) break;
        gop.push_back(std::move(pic));
    }
    if (gop.empty() || gop.front().slices.front().type != 5)
        needReference("the recording does not start with an IDR picture");
    return gop;
}

std::map<std::string, std::string> encoderOptions(const std::vector<GopPicture>& gop) {
    std::map<std::string, std::string> out;
    for (const auto& sei : gop.front().sei) {
        std::string text(sei.bytes.begin(), sei.bytes.end());
        auto at = text.find("options: ");
        if (at == std::string::npos) continue;
        size_t p = at + 9;
        while (p < text.size() && text[p] != '\0') {
            size_t sp = text.find(' ', p);
            if (sp == std::string::npos) sp = text.find('\0', p);
            if (sp == std::string::npos) sp = text.size();
            std::string word = text.substr(p, sp - p);
            auto eq = word.find('=');
            if (eq != std::string::npos) out[word.substr(0, eq)] = word.substr(eq + 1);
            p = sp + 1;
        }
    }
    return out;
}

int optionInt(const std::map<std::string, std::string>& o, const char* key, int fallback) {
    auto it = o.find(key);
    if (it == o.end()) return fallback;
    try {
        return std::stoi(it->second);
    } catch (...) {
        return fallback;
    }
}

std::vector<std::vector<uint8_t>> H264Candidate::nals() const {
    H264Sps s = sps;
    if (s.vui) s.vui->maxDecFrameBuffering = std::max(s.maxRefFrames, s.vui->reorderFrames);
    std::vector<std::vector<uint8_t>> out{s.write()};
    const auto one = [&](uint32_t id) {
        H264Pps p = pps;
        p.id = id;
        if (auto lent = lentPps.find(id); lent != lentPps.end()) {
            p.scaling = lent->second.scaling;
            p.chromaQpOffset = lent->second.chromaQpOffset;
            p.secondChromaQpOffset = lent->second.secondChromaQpOffset;
        }
        out.push_back(p.write(s.chromaFormat));
    };
    one(pps.id);
    for (uint32_t id : otherPpsIds)
        if (id != pps.id) one(id);
    return out;
}

std::vector<uint8_t> H264Candidate::avcC() const {
    auto box = buildCodecConfig(VideoCodec::H264, nals());
    if (!box) return {};
    return std::vector<uint8_t>(box->begin() + 8, box->end());
}

std::vector<uint32_t> ppsIdsNamed(const std::vector<GopPicture>& gop) {
    std::vector<uint32_t> ids;
    for (const auto& pic : gop)
        for (const auto& s : pic.slices)
            if (auto id = H264SliceHeader::ppsIdOf(s.bytes.data(), s.bytes.size()))
                if (std::find(ids.begin(), ids.end(), *id) == ids.end()) ids.push_back(*id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

uint32_t GopParse::reorderDepth() const { return tv::reorderDepth(poc); }

namespace {

// One picture's slices: rising addresses, the same picture-level fields.
std::optional<std::vector<H264SliceHeader>> parsePicture(const GopPicture& pic, const H264Candidate& c,
                                                         GopParse& out) {
    std::vector<H264SliceHeader> hs;
    for (const auto& s : pic.slices) {
        // A body may write several PPS that differ only in what slice
        // headers do not depend on (matrices): the candidate stands for each.
        const auto id = H264SliceHeader::ppsIdOf(s.bytes.data(), s.bytes.size());
        if (!id) return std::nullopt;
        std::optional<H264Pps> other;
        if (*id != c.pps.id) {
            other = c.pps;
            other->id = *id;
        }
        auto h = H264SliceHeader::parse(s.bytes.data(), s.bytes.size(), c.sps, other ? *other : c.pps,
                                        H264SliceHeader::Extent::Whole);
        if (!h) return std::nullopt;

        if (hs.empty() ? h->firstMb != 0 : h->firstMb <= hs.back().firstMb) return std::nullopt;
        if (!hs.empty() && (h->frameNum != hs[0].frameNum || h->pocLsb != hs[0].pocLsb ||
                            h->idrPicId != hs[0].idrPicId || h->nal.type != hs[0].nal.type))
            return std::nullopt;
        if (h->kind() == 1) out.bSlices = true;
        if (h->kind() != 2 && !h->overrideRefs) out.refDefaultsUsed = true;
        hs.push_back(*h);
    }
    return hs;
}

}  // namespace

std::optional<GopParse> parseGop(const std::vector<GopPicture>& gop, const H264Candidate& c) {
    GopParse out;
    const uint32_t maxFrameNum = 1u << c.sps.log2MaxFrameNum;
    uint32_t prevRefFrameNum = 0;
    std::set<int64_t> pocs;
    int64_t prevMsb = 0, prevLsb = 0;
    for (size_t i = 0; i < gop.size(); ++i) {
        auto hs = parsePicture(gop[i], c, out);
        if (!hs) return std::nullopt;
        const H264SliceHeader& h = hs->front();
        const bool idr = h.nal.type == 5;
        if (i > 0 && !idr && h.frameNum != (prevRefFrameNum + 1) % maxFrameNum) return std::nullopt;
        if (idr) prevMsb = prevLsb = 0;
        if (h.nal.refIdc) prevRefFrameNum = h.frameNum;
        int64_t poc = int64_t(i);
        if (c.sps.pocType == 0) {
            const int64_t msb = pocMsb(h.pocLsb, prevLsb, prevMsb, c.sps.log2MaxPocLsb);
            poc = msb + h.pocLsb;
            if (!pocs.insert(poc).second || poc < 0) return std::nullopt;
            if (h.nal.refIdc) prevMsb = msb, prevLsb = h.pocLsb;
        }
        out.poc.push_back(poc);
        out.headers.push_back(std::move(*hs));
    }
    if (c.sps.pocType == 2 && out.bSlices) return std::nullopt;
    return out;
}

std::vector<Survivor> headerCandidates(const std::vector<GopPicture>& gop, const H264Candidate& base,
                                       Reporter& rep) {
    rep.progress(0);
    std::vector<Survivor> survivors;
    for (uint32_t fn = 4; fn <= 16; ++fn) {
        rep.progress(10.0 * (fn - 4) / 13);
        for (uint32_t poc = 0; poc <= 14; ++poc)
            for (int cabac = 1; cabac >= 0; --cabac)
                for (int wp = 0; wp <= 1; ++wp)
                    for (uint32_t bi = 0; bi <= 2; ++bi)
                        for (int dbk = 1; dbk >= 0; --dbk)
                            for (uint32_t l0 = 1; l0 <= 8; ++l0)
                                for (uint32_t l1 = 1; l1 <= 2; ++l1) {
                                    H264Candidate c = base;
                                    c.sps.log2MaxFrameNum = fn;
                                    c.sps.pocType = poc == 14 ? 2 : 0;
                                    c.sps.log2MaxPocLsb = poc == 14 ? 4 : poc + 4;
                                    c.pps.cabac = cabac;
                                    c.pps.weightedPred = wp;
                                    c.pps.bipredIdc = bi;
                                    c.pps.deblockingControl = dbk;
                                    c.pps.numRefL0 = l0;
                                    c.pps.numRefL1 = l1;
                                    auto parsed = parseGop(gop, c);
                                    if (!parsed) continue;
                                    // Defaults no slice relies on, and B weighting
                                    // without B slices, do not change a thing.
                                    if (!parsed->refDefaultsUsed && (l0 > 1 || l1 > 1)) continue;
                                    if (!parsed->bSlices && bi > 0) continue;
                                    survivors.push_back({c, std::move(*parsed)});
                                }
    }
    return survivors;
}

std::vector<FrameSize> frameSizes(const GopParse& parsed) {
    static const FrameSize kSizes[] = {
        {1920, 1080}, {3840, 2160}, {1280, 720}, {4096, 2160}, {1440, 1080}, {2560, 1440},
        {1920, 1200}, {720, 480}, {720, 576}, {960, 540}, {640, 360}, {640, 480}, {854, 480},
        {320, 180}, {320, 240}, {160, 90}, {176, 144}, {352, 288}, {480, 270}};
    uint32_t lastStart = 0;
    for (const auto& hs : parsed.headers)
        for (const auto& h : hs) lastStart = std::max(lastStart, h.firstMb);
    std::vector<uint32_t> starts;
    for (const auto& h : parsed.headers.front()) starts.push_back(h.firstMb);
    const uint32_t n = uint32_t(starts.size());
    // Encoders split a picture into slices of whole, evenly shared
    // macroblock rows: sizes under which the key picture's slices start that
    // way come first, then those where they start on row boundaries.
    std::vector<FrameSize> ranked[3];
    for (const auto& s : kSizes) {
        const uint32_t wMbs = (s.width + 15) / 16, hMbs = (s.height + 15) / 16;
        if (wMbs * hMbs <= lastStart) continue;
        bool rows = std::all_of(starts.begin(), starts.end(), [&](uint32_t a) { return a % wMbs == 0; });
        bool even = rows && n > 1;
        for (uint32_t k = 0; k < n && even; ++k) {
            const uint32_t row = starts[k] / wMbs, lo = k * hMbs / n, hi = (k * hMbs + n - 1) / n;
            even = row == lo || row == hi;
        }
        ranked[even ? 0 : rows ? 1 : 2].push_back(s);
    }
    for (int r = 1; r < 3; ++r) ranked[0].insert(ranked[0].end(), ranked[r].begin(), ranked[r].end());
    return ranked[0];
}

}  // namespace tv
