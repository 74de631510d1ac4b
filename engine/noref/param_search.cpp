#include "noref/param_search.h"

#include "base/bytes.h"
#include "base/errors.h"
#include "codec/h264_params.h"
#include "noref/h264_probe.h"
#include "mp4/config_record.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

namespace tv {
namespace {

using Kind = EngineError::Kind;
using Clock = std::chrono::steady_clock;

// The search gives up (a reference is needed) after this long.
constexpr auto kTimeBound = std::chrono::seconds(170);
// Pictures of the first GOP used: enough for the P/B fields, few enough to
// keep a 4K search within the bound.
constexpr size_t kMaxGopPictures = 32;
// And few enough bytes to keep memory bounded at high bit rates (an
// intra-only 4K picture can be several megabytes).
constexpr size_t kMaxGopBytes = 96u << 20;
// More than any slice header with its CABAC alignment and first data bits
// (the header parser reads at most 1024 bytes).
constexpr size_t kSliceHeadBytes = 1100;

[[noreturn]] void needReference(const std::string& why) {
    throw EngineError(Kind::ReferenceNeeded,
                      "the H.264 parameter sets could not be rebuilt from the recording (" + why +
                          "); a reference clip from the same camera is needed");
}

struct Nal {
    std::vector<uint8_t> bytes;  // from the NAL header on
    int type = 0;
};

struct Picture {
    std::vector<uint8_t> sample;  // length-prefixed, as stored
    std::vector<Nal> slices;
    std::vector<Nal> sei;
};

std::vector<Picture> readGop(const ByteSource& rsv, const RsvRecording& rec) {
    size_t end = rec.groupStarts.size() > 1 ? rec.groupStarts[1] : rec.frames.size();
    end = std::min(end, kMaxGopPictures);
    std::vector<Picture> gop;
    size_t bytes = 0;
    for (size_t i = 0; i < end; ++i) {
        bytes += rec.frames[i].size;
        if (i > 0 && bytes > kMaxGopBytes) break;
        Picture pic;
        pic.sample = rsv.readVector(rec.frames[i].offset, rec.frames[i].size);
        for (size_t p = 0; p + 5 <= pic.sample.size();) {
            uint32_t len = be32(&pic.sample[p]);
            if (len == 0 || len > pic.sample.size() - p - 4) break;
            Nal n;
            n.type = pic.sample[p + 4] & 31;
            // A slice's header lies in its first bytes; the rest is only
            // decoded, from the sample.
            const size_t keep = n.type >= 1 && n.type <= 5 ? std::min<size_t>(len, kSliceHeadBytes) : len;
            n.bytes.assign(pic.sample.begin() + long(p) + 4, pic.sample.begin() + long(p + 4 + keep));
            if (n.type >= 1 && n.type <= 5) pic.slices.push_back(std::move(n));
            else if (n.type == 6) pic.sei.push_back(std::move(n));
            p += 4 + len;
        }
        if (pic.slices.empty()) break;
        gop.push_back(std::move(pic));
    }
    if (gop.empty() || gop.front().slices.front().type != 5)
        needReference("the recording does not start with an IDR picture");
    return gop;
}

// Encoder options some encoders leave in an unregistered user-data SEI
// ("key=value" words): where present they settle the fields decoding
// cannot tell apart.
std::map<std::string, std::string> encoderOptions(const std::vector<Picture>& gop) {
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

struct Parsed {
    std::vector<std::vector<SliceHeader>> headers;  // per picture
    bool refDefaultsUsed = false, bSlices = false;
};

// Every slice header of the GOP under p, with the checks across slices.
std::optional<Parsed> parseGop(const std::vector<Picture>& gop, const H264Params& p) {
    Parsed out;
    const uint32_t maxFrameNum = 1u << p.log2MaxFrameNum;
    uint32_t prevRefFrameNum = 0;
    std::set<int64_t> pocs;
    int64_t prevMsb = 0, prevLsb = 0;
    for (size_t i = 0; i < gop.size(); ++i) {
        std::vector<SliceHeader> hs;
        for (const auto& s : gop[i].slices) {
            auto h = parseSliceHeader(s.bytes.data(), s.bytes.size(), p);
            if (!h) return std::nullopt;
            if (hs.empty() ? h->firstMb != 0 : h->firstMb <= hs.back().firstMb) return std::nullopt;
            if (!hs.empty() && (h->frameNum != hs[0].frameNum || h->pocLsb != hs[0].pocLsb ||
                                h->idrPicId != hs[0].idrPicId || h->nalType != hs[0].nalType))
                return std::nullopt;
            const uint32_t type = h->sliceType % 5;
            if (type == 1) out.bSlices = true;
            if (type != 2 && !h->overrideRefs) out.refDefaultsUsed = true;
            hs.push_back(*h);
        }
        const SliceHeader& h = hs.front();
        const bool idr = h.nalType == 5;
        if (i > 0 && !idr && h.frameNum != (prevRefFrameNum + 1) % maxFrameNum) return std::nullopt;
        if (idr) prevMsb = prevLsb = 0;
        if (h.refIdc) prevRefFrameNum = h.frameNum;
        if (p.pocType == 0) {
            const int64_t maxLsb = int64_t(1) << p.log2MaxPocLsb, lsb = h.pocLsb;
            int64_t msb = prevMsb;
            if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2) msb += maxLsb;
            else if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2) msb -= maxLsb;
            if (!pocs.insert(msb + lsb).second || msb + lsb < 0) return std::nullopt;
            if (h.refIdc) prevMsb = msb, prevLsb = lsb;
        }
        out.headers.push_back(std::move(hs));
    }
    if (p.pocType == 2 && out.bSlices) return std::nullopt;
    return out;
}

uint32_t reorderDepth(const Parsed& parsed, const H264Params& p) {
    if (p.pocType != 0) return 0;
    std::vector<int64_t> poc;
    int64_t msb = 0, prevLsb = 0;
    const int64_t maxLsb = int64_t(1) << p.log2MaxPocLsb;
    for (const auto& hs : parsed.headers) {
        const auto& h = hs.front();
        int64_t lsb = h.pocLsb, m = msb;
        if (h.nalType == 5) m = 0, prevLsb = 0;
        if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2) m += maxLsb;
        else if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2) m -= maxLsb;
        poc.push_back(m + lsb);
        if (h.refIdc) msb = m, prevLsb = lsb;
    }
    uint32_t depth = 0;
    for (size_t i = 0; i < poc.size(); ++i) {
        uint32_t later = 0;
        for (size_t j = 0; j < i; ++j) later += poc[j] > poc[i];
        depth = std::max(depth, later);
    }
    return depth;
}

struct FrameSize {
    uint32_t width, height;
};

// Picture sizes the slice addresses allow: the usual camera and test sizes.
// Encoders split a picture into slices of whole, evenly shared macroblock
// rows; sizes under which the key picture's slices start that way come
// first, then those where they start on row boundaries, then the rest.
std::vector<FrameSize> frameSizes(const Parsed& parsed) {
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

std::vector<uint8_t> avcCPayload(const H264Params& p) {
    auto box = buildCodecConfig(VideoCodec::H264, {p.spsNal(), p.ppsNal()});
    if (!box) return {};
    return std::vector<uint8_t>(box->begin() + 8, box->end());
}

struct Survivor {
    H264Params p;
    Parsed parsed;
};

// Every combination of the fields slice headers depend on under which each
// header of the GOP parses consistently.
std::vector<Survivor> headerCandidates(const std::vector<Picture>& gop, const H264Params& base, Reporter& rep) {
    rep.progress(0);
    std::vector<Survivor> survivors;
    for (uint32_t fn = 4; fn <= 16; ++fn) {
        rep.progress(10.0 * (fn - 4) / 13);
        for (uint32_t poc = 0; poc <= 14; ++poc) {
            for (int cabac = 1; cabac >= 0; --cabac)
                for (int wp = 0; wp <= 1; ++wp)
                    for (uint32_t bi = 0; bi <= 2; ++bi)
                        for (int dbk = 1; dbk >= 0; --dbk)
                            for (uint32_t l0 = 1; l0 <= 8; ++l0)
                                for (uint32_t l1 = 1; l1 <= 2; ++l1) {
                                    H264Params p = base;
                                    p.log2MaxFrameNum = fn;
                                    p.pocType = poc == 14 ? 2 : 0;
                                    p.log2MaxPocLsb = poc == 14 ? 4 : poc + 4;
                                    p.cabac = cabac;
                                    p.weightedPred = wp;
                                    p.bipredIdc = bi;
                                    p.deblockingControl = dbk;
                                    p.numRefL0 = l0;
                                    p.numRefL1 = l1;
                                    auto parsed = parseGop(gop, p);
                                    if (!parsed) continue;
                                    // Defaults no slice relies on, and B weighting
                                    // without B slices, do not change a thing.
                                    if (!parsed->refDefaultsUsed && (l0 > 1 || l1 > 1)) continue;
                                    if (!parsed->bSlices && bi > 0) continue;
                                    survivors.push_back({p, *parsed});
                                }
        }
    }
    return survivors;
}

class Search {
public:
    Search(const std::vector<Picture>& gop, Reporter& rep) : gop_(gop), rep_(rep), start_(Clock::now()) {}

    ProbeResult decode(const H264Params& p, size_t pictures) {
        if (Clock::now() - start_ > kTimeBound) needReference("the search took too long");
        std::vector<std::vector<uint8_t>> samples;
        for (size_t i = 0; i < pictures && i < gop_.size(); ++i) samples.push_back(gop_[i].sample);
        ++decodes_;
        return probeH264(avcCPayload(p), samples);
    }
    void progress(double pct) { rep_.progress(pct); }
    size_t decodes() const { return decodes_; }

private:
    const std::vector<Picture>& gop_;
    Reporter& rep_;
    Clock::time_point start_;
    size_t decodes_ = 0;
};

}  // namespace

RebuiltParameterSets searchH264ParameterSets(const ByteSource& rsv, const RsvRecording& rec,
                                             const std::vector<std::vector<uint8_t>>& donorSets,
                                             Reporter& rep) {
    const auto started = Clock::now();
    const std::vector<Picture> gop = readGop(rsv, rec);
    const auto opts = encoderOptions(gop);

    // What a donor's parameter sets lend: its scaling matrices and, as the
    // first guesses, its fields.
    std::optional<H264Params> donor;
    {
        std::vector<uint8_t> sps, pps;
        for (const auto& n : donorSets) {
            if (!n.empty() && (n[0] & 31) == 7 && sps.empty()) sps = n;
            if (!n.empty() && (n[0] & 31) == 8 && pps.empty()) pps = n;
        }
        if (!sps.empty() && !pps.empty()) donor = readH264Params(sps, pps);
        if (!donorSets.empty() && !donor)
            rep.info("the donor's parameter sets could not be read; searching without them");
    }

    H264Params base;
    base.ppsId = 0;
    {
        // The PPS id every slice names (the third field of the header).
        auto rbsp = unescapeRbsp(gop[0].slices[0].bytes.data() + 1,
                                 std::min<size_t>(gop[0].slices[0].bytes.size() - 1, 32));
        BitReader br(rbsp);
        br.ue();
        br.ue();
        base.ppsId = br.ue();
        if (!br.ok() || base.ppsId > 255) needReference("unreadable slice header");
    }
    base.timescale = rec.layout.videoTimescale;
    base.frameDuration = rec.layout.frameDuration;

    // 1. Fields slice headers depend on: keep what parses consistently.
    const std::vector<Survivor> survivors = headerCandidates(gop, base, rep);
    if (survivors.empty()) needReference("no parameter set fits the slice headers");
    rep.info("parameter-set search: " + std::to_string(survivors.size()) +
             " candidates fit every slice header of the first GOP");

    Search search(gop, rep);
    // 2. The key picture: picture format, frame size, transform size and
    // initial QP, per distinct parse of the headers.
    struct Format {
        uint32_t chroma, depth;
    };
    std::vector<Format> formats = {{1, 8}, {2, 10}, {1, 10}, {2, 8}};
    if (donor) {
        Format d{donor->chroma, donor->bitDepth};
        formats.erase(std::remove_if(formats.begin(), formats.end(),
                                     [&](const Format& f) { return f.chroma == d.chroma && f.depth == d.depth; }),
                      formats.end());
        formats.insert(formats.begin(), d);
    }
    const int hintQp = optionInt(opts, "crf", donor ? donor->picInitQp : 26);
    const bool hint8x8 = opts.count("8x8dct") ? optionInt(opts, "8x8dct", 1) != 0
                                              : (donor ? donor->transform8x8 : true);
    std::optional<H264Params> keyFit;
    for (size_t si = 0; si < survivors.size() && !keyFit; ++si) {
        const Survivor& sv = survivors[si];
        search.progress(10 + 40.0 * double(si) / double(survivors.size()));
        // The key picture's own parse: candidates that differ only in P/B
        // fields decode it alike.
        bool dup = false;
        for (size_t sj = 0; sj < si && !dup; ++sj) {
            const H264Params& a = survivors[sj].p;
            dup = a.log2MaxFrameNum == sv.p.log2MaxFrameNum && a.pocType == sv.p.pocType &&
                  a.log2MaxPocLsb == sv.p.log2MaxPocLsb && a.cabac == sv.p.cabac &&
                  a.deblockingControl == sv.p.deblockingControl;
        }
        if (dup) continue;
        int32_t lo = -99, hi = 99;
        for (const auto& h : sv.parsed.headers.front()) {
            lo = std::max(lo, -h.qpDelta);
            hi = std::min(hi, 51 - h.qpDelta);
        }
        std::vector<int32_t> qps;
        for (int32_t q : {hintQp, 26}) if (q >= lo - 18 && q <= hi) qps.push_back(q);
        for (int32_t d = 1; d <= 44; ++d)
            for (int32_t q : {26 - d, 26 + d})
                if (q >= lo - 18 && q <= hi && std::find(qps.begin(), qps.end(), q) == qps.end()) qps.push_back(q);
        if (!sv.p.cabac) {
            // CAVLC pictures decode under any initial QP, only brighter or
            // darker: only a donor from the same body can tell it.
            if (!donor) continue;
            qps = {donor->picInitQp};
        }
        // Two passes: the usual combinations (the two preferred picture
        // formats, initial QPs near 26) at every frame size first, then the
        // rest; a wrong frame size fails under every combination, so this
        // keeps the cost of the sizes tried before the right one down.
        const auto usual = [&](size_t formatIndex, int32_t qp) {
            return formatIndex < 2 && (qp == qps.front() || std::abs(qp - 26) <= 12);
        };
        const std::vector<FrameSize> sizes = frameSizes(sv.parsed);
        for (int pass = 0; pass < 2; ++pass) {
            for (const FrameSize& fs : sizes) {
                for (size_t fi = 0; fi < formats.size(); ++fi) {
                    const Format& f = formats[fi];
                    for (bool t8 : {hint8x8, !hint8x8}) {
                        for (int32_t qp : qps) {
                            if (usual(fi, qp) != (pass == 0)) continue;
                            // SliceQP never falls below -6 x (bit depth - 8).
                            if (qp < lo - 6 * int32_t(f.depth - 8)) continue;
                            H264Params p = sv.p;
                            p.setFormat(f.chroma, f.depth);
                            p.setFrameSize(fs.width, fs.height);
                            p.transform8x8 = t8;
                            p.picInitQp = qp;
                            if (donor) {
                                p.spsScaling = donor->spsScaling;
                                p.ppsScaling = donor->ppsScaling;
                                p.chromaQpOffset = donor->chromaQpOffset;
                                p.secondChromaQpOffset = donor->secondChromaQpOffset;
                            } else {
                                p.chromaQpOffset = p.secondChromaQpOffset = optionInt(opts, "chroma_qp_offset", 0);
                            }
                            if (search.decode(p, 1).clean) {
                                keyFit = p;
                                goto keyDone;
                            }
                        }
                    }
                }
            }
        }
    keyDone:;
    }
    if (!keyFit) {
        bool cavlcOnly = std::all_of(survivors.begin(), survivors.end(), [](const Survivor& s) { return !s.p.cabac; });
        needReference(cavlcOnly && !donor ? "CAVLC stream: its initial QP needs a donor clip"
                                          : "no candidate decodes the key picture");
    }
    // 8 and 10 bits (4:2:0 or 4:2:2) often both decode the key picture
    // without errors; the wrong depth pushes samples to the ends of the
    // range. Ties keep the order of preference.
    {
        ProbeResult best = search.decode(*keyFit, 1);
        for (const Format& f : formats) {
            if (f.chroma == keyFit->chroma && f.depth == keyFit->bitDepth) continue;
            H264Params p = *keyFit;
            p.setFormat(f.chroma, f.depth);
            ProbeResult r = search.decode(p, 1);
            if (r.clean && r.clipped < best.clipped / 2 && best.clipped - r.clipped > 1e-4) {
                keyFit = p;
                best = r;
            }
        }
    }

    // 3. The whole GOP: reference counts and the P/B fields.
    const H264Params& k = *keyFit;
    // The decoded picture buffer must hold the past and the future picture
    // a B slice refers to (1 + reorder depth) and as many pictures as a P
    // slice names: a smaller count often decodes without errors, wrongly,
    // while a larger one leaves the P lists as they are (the extra pictures
    // come last). From there, the smallest count that decodes cleanly.
    std::vector<uint32_t> refOrder;
    if (int r = optionInt(opts, "ref", donor ? int(donor->maxRefFrames) : 0); r > 0) refOrder.push_back(uint32_t(r));
    for (uint32_t r = 1; r <= 16; ++r)
        if (std::find(refOrder.begin(), refOrder.end(), r) == refOrder.end()) refOrder.push_back(r);
    const uint32_t hintBipred = opts.count("weightb") ? (optionInt(opts, "weightb", 0) ? 2 : 0)
                                                      : (donor ? donor->bipredIdc : 0);
    std::optional<H264Params> winner;
    std::vector<const Survivor*> order;
    for (const auto& sv : survivors)
        if (sv.p.log2MaxFrameNum == k.log2MaxFrameNum && sv.p.pocType == k.pocType &&
            sv.p.log2MaxPocLsb == k.log2MaxPocLsb && sv.p.cabac == k.cabac &&
            sv.p.deblockingControl == k.deblockingControl)
            order.push_back(&sv);
    // The preferred B weighting first (it decodes without errors either way).
    std::stable_sort(order.begin(), order.end(), [&](const Survivor* a, const Survivor* b) {
        return (a->p.bipredIdc == hintBipred) > (b->p.bipredIdc == hintBipred);
    });
    for (size_t i = 0; i < order.size() && !winner; ++i) {
        search.progress(50 + 50.0 * double(i) / double(order.size()));
        for (uint32_t refs : refOrder) {
            H264Params p = k;
            p.weightedPred = order[i]->p.weightedPred;
            p.bipredIdc = order[i]->p.bipredIdc;
            p.numRefL0 = order[i]->p.numRefL0;
            p.numRefL1 = order[i]->p.numRefL1;
            if (!order[i]->parsed.refDefaultsUsed) {
                // No slice relies on the default: write the reference
                // count there, as encoders do.
                p.numRefL0 = std::max<uint32_t>(1, std::min<uint32_t>(refs, 32));
            }
            p.reorderFrames = reorderDepth(order[i]->parsed, p);
            uint32_t least = order[i]->parsed.bSlices ? 1 + p.reorderFrames : 1;
            for (const auto& hs : order[i]->parsed.headers)
                if (hs.front().sliceType % 5 == 0) least = std::max(least, hs.front().numRefL0);
            if (refs < least) continue;
            p.maxRefFrames = refs;
            if (search.decode(p, gop.size()).clean) {
                winner = p;
                break;
            }
        }
    }
    if (!winner) needReference("no candidate decodes the first GOP");
    // Fields that decode without errors whichever value they take (implicit
    // or default B weighting, the chroma QP offset) have kept the donor's
    // value, an encoder's stated option, or the values these bodies write:
    // no implicit weighting, no chroma offset.
    search.progress(100);
    H264Params& w = *winner;
    w.level = w.widthMbs * w.heightMbs > 8192 ? 51 : (w.widthMbs * w.heightMbs > 3600 ? 42 : 40);
    const double secs = std::chrono::duration<double>(Clock::now() - started).count();
    char line[200];
    snprintf(line, sizeof line,
             "parameter sets rebuilt from the slices: %ux%u, %s %u-bit, %s, %zu test decodes in %.1f s",
             w.widthMbs * 16 - w.cropRight, w.heightMbs * 16 - w.cropBottom,
             w.chroma == 2 ? "4:2:2" : "4:2:0", w.bitDepth, w.cabac ? "CABAC" : "CAVLC", search.decodes(), secs);
    rep.info(line);
    RebuiltParameterSets out;
    out.nals = {w.spsNal(), w.ppsNal()};
    out.flatMatrices = !(donor && (donor->spsScaling.present() || donor->ppsScaling.present()));
    return out;
}

}  // namespace tv
