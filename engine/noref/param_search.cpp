#include "noref/param_search.h"

#include "noref/h264_probe.h"
#include "noref/matrix_fit.h"
#include "noref/matrix_table.h"
#include "noref/picture_check.h"
#include "noref/search_clock.h"
#include "noref/slice_survey.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

namespace tv {
namespace {

using Clock = std::chrono::steady_clock;

// A block-edge ratio this much below another's tells the two apart
// (h264_probe.h); closer ratios do not.
constexpr double kDecisive = 0.9;
// A table set whose large steps inside blocks (their fourth power) exceed
// flat matrices' by this factor rings around every edge: the stream was
// coded with flatter matrices. Flat-coded pictures with detail measured
// 1.29 to 2.2, camera-coded ones 0.63 to 1.14 (heavy sensor noise the
// highest); soft or dark flat-coded pictures ring no more (0.79 to 1.01)
// and keep the table's set, which then costs what flat costs a camera.
constexpr double kRings = 1.2;
// Another table set replaces the first only with a block-edge ratio this
// much below the first's.
constexpr double kTableDecisive = 0.97;
// The standard's default lists (6 at DC against the bodies' 12) replace the
// table's sets only with a block-edge ratio this much below the best of
// them: bodies coding with the defaults measured 0.68 to 0.74 of it, others
// 0.91 to 1.0 (the ratio prefers low DC values whatever the truth).
constexpr double kDefaultDecisive = 0.8;
// A set replaces the table's first (or a fitted shape a named set) only
// with a step to the next key picture this much below its; named sets
// decoded generated bodies 1.5 to 6 % above their right matrices.
constexpr double kStepDecisive = 0.98;
// Shapes a fit may try: the coarse grid's 20 and about as many finer ones;
// and no more once the search has run this long, so that a fit (18 s on a
// 1080p GOP of 25 pictures) never costs a repair its time bound.
constexpr size_t kFitBudget = 40;
constexpr double kFitUntilSeconds = 110;

using Samples = std::vector<std::vector<uint8_t>>;

struct Format {
    uint32_t chroma, depth;
};

// What a donor's parameter sets lend: its scaling matrices, chroma QP
// offsets and (CAVLC) initial QP, taken on trust, and as first guesses its
// other fields. Every PPS it carries, by id.
struct Donor {
    H264Candidate c;
    std::map<uint32_t, H264Pps> pps;
    bool matrices() const {
        return c.sps.scaling.present() ||
               std::any_of(pps.begin(), pps.end(), [](const auto& p) { return p.second.scaling.present(); });
    }
};

std::optional<Donor> readDonor(const std::vector<std::vector<uint8_t>>& sets, Reporter& rep) {
    std::map<uint32_t, H264Sps> sps;
    for (const auto& n : sets)
        if (!n.empty() && (n[0] & 31) == 7 && sps.empty())
            if (auto s = H264Sps::parse(n.data(), n.size())) sps[s->id] = *s;
    std::optional<Donor> donor;
    for (const auto& n : sets) {
        if (n.empty() || (n[0] & 31) != 8) continue;
        auto p = H264Pps::parse(n.data(), n.size(), sps);
        if (!p) continue;
        if (!donor) donor = Donor{H264Candidate{sps.at(p->spsId), *p, {}, {}}, {}};
        donor->pps.emplace(p->id, *p);
    }
    if (!sets.empty() && !donor) rep.info("the donor's parameter sets could not be read; searching without them");
    return donor;
}

struct MatrixChoice {
    std::string name, why;
};

std::string fixed2(double v) {
    char b[32];
    snprintf(b, sizeof b, "%.2f", v);
    return b;
}

class Search {
public:
    Search(const std::vector<GopPicture>& gop, const std::optional<Donor>& donor, Reporter& rep)
        : gop_(gop), donor_(donor), opts_(encoderOptions(gop)), rep_(rep), clock_(rep) {
        if (donor) {
            const Format d{donor->c.sps.chromaFormat, donor->c.sps.bitDepthLuma};
            formats_.erase(std::remove_if(formats_.begin(), formats_.end(),
                                          [&](const Format& f) { return f.chroma == d.chroma && f.depth == d.depth; }),
                           formats_.end());
            formats_.insert(formats_.begin(), d);
        }
    }

    H264Candidate keyPicture(const std::vector<Survivor>& survivors);
    void pickDepth(H264Candidate& key);
    std::optional<H264Candidate> wholeGop(const H264Candidate& key, const std::vector<Survivor>& survivors);
    std::optional<H264Candidate> otherTransform(const H264Candidate& key) {
        H264Candidate c = key;
        c.pps.transform8x8 = !c.pps.transform8x8;
        if (!decode(c, 1).clean) return std::nullopt;
        return c;
    }
    void checkPictures(const H264Candidate& w);
    MatrixChoice chooseMatrices(H264Candidate& w, const Samples& throughKey);
    size_t decodes() const { return decodes_; }
    void progress(double pct) { clock_.progress(pct); }

private:
    ProbeResult decode(const H264Candidate& c, size_t pictures, bool measure = false) {
        if (clock_.expired()) needReference("the search took too long");
        clock_.tick();
        std::vector<std::vector<uint8_t>> samples;
        for (size_t i = 0; i < pictures && i < gop_.size(); ++i) samples.push_back(gop_[i].sample);
        ++decodes_;
        return probeH264(c.avcC(), samples, measure);
    }

    // The step to the next key picture (matrix_fit.h); nothing once the
    // search's time is up, so that a fit ends with what it has.
    std::optional<double> keyStep(const H264Candidate& c, const Samples& throughKey) {
        if (clock_.expired()) return std::nullopt;
        clock_.tick();
        ++decodes_;
        return keyPictureStep(c.avcC(), throughKey);
    }
    std::optional<MatrixChoice> fitMatrices(H264Candidate& w, const Samples& throughKey);

    std::vector<int32_t> initialQps(const Survivor& sv) const;
    std::optional<H264Candidate> keyPictureUnder(const Survivor& sv);
    void lend(H264Candidate& c) const;

    const std::vector<GopPicture>& gop_;
    const std::optional<Donor>& donor_;
    const std::map<std::string, std::string> opts_;
    Reporter& rep_;
    SearchClock clock_;
    size_t decodes_ = 0;
    std::vector<Format> formats_ = {{1, 8}, {2, 10}, {1, 10}, {2, 8}};
};

// Initial QPs to try: the hint and 26 first, then outwards from 26, within
// what the slices' QP deltas allow.
std::vector<int32_t> Search::initialQps(const Survivor& sv) const {
    if (!sv.c.pps.cabac) {
        // CAVLC pictures decode under any initial QP, only brighter or
        // darker: only a donor from the same body can tell it.
        if (!donor_) return {};
        return {donor_->c.pps.picInitQp};
    }
    const int hintQp = optionInt(opts_, "crf", donor_ ? donor_->c.pps.picInitQp : 26);
    int32_t lo = -99, hi = 99;
    for (const auto& h : sv.parsed.headers.front()) {
        lo = std::max(lo, -h.qpDelta);
        hi = std::min(hi, 51 - h.qpDelta);
    }
    std::vector<int32_t> qps;
    for (int32_t q : {hintQp, 26})
        if (q >= lo - 18 && q <= hi) qps.push_back(q);
    for (int32_t d = 1; d <= 44; ++d)
        for (int32_t q : {26 - d, 26 + d})
            if (q >= lo - 18 && q <= hi && std::find(qps.begin(), qps.end(), q) == qps.end()) qps.push_back(q);
    return qps;
}

void Search::lend(H264Candidate& c) const {
    if (donor_) {
        // The donor's PPS of the same id where it has one.
        const auto same = donor_->pps.find(c.pps.id);
        const H264Pps& p = same != donor_->pps.end() ? same->second : donor_->c.pps;
        c.sps.scaling = donor_->c.sps.scaling;
        c.pps.scaling = p.scaling;
        c.pps.chromaQpOffset = p.chromaQpOffset;
        c.pps.secondChromaQpOffset = p.secondChromaQpOffset;
    } else {
        c.pps.chromaQpOffset = c.pps.secondChromaQpOffset = optionInt(opts_, "chroma_qp_offset", 0);
    }
}

// The key picture under one parse of the headers: picture format, frame
// size, transform size and initial QP. Two passes: the usual combinations
// (the two preferred picture formats, initial QPs near 26) at every frame
// size first, then the rest; a wrong frame size fails under every
// combination, so this keeps the cost of the sizes tried before the right
// one down.
std::optional<H264Candidate> Search::keyPictureUnder(const Survivor& sv) {
    const std::vector<int32_t> qps = initialQps(sv);
    if (qps.empty()) return std::nullopt;
    int32_t lo = -99;
    for (const auto& h : sv.parsed.headers.front()) lo = std::max(lo, -h.qpDelta);
    const bool hint8x8 = opts_.count("8x8dct") ? optionInt(opts_, "8x8dct", 1) != 0
                                               : (donor_ ? donor_->c.pps.transform8x8 : true);
    const auto usual = [&](size_t formatIndex, int32_t qp) {
        return formatIndex < 2 && (qp == qps.front() || std::abs(qp - 26) <= 12);
    };
    const std::vector<FrameSize> sizes = frameSizes(sv.parsed);
    for (int pass = 0; pass < 2; ++pass)
        for (const FrameSize& fs : sizes)
            for (size_t fi = 0; fi < formats_.size(); ++fi)
                for (bool t8 : {hint8x8, !hint8x8})
                    for (int32_t qp : qps) {
                        if (usual(fi, qp) != (pass == 0)) continue;
                        // SliceQP never falls below -6 x (bit depth - 8).
                        if (qp < lo - 6 * int32_t(formats_[fi].depth - 8)) continue;
                        H264Candidate c = sv.c;
                        c.sps.setFormat(formats_[fi].chroma, formats_[fi].depth);
                        c.sps.setFrameSize(fs.width, fs.height);
                        c.pps.transform8x8 = t8;
                        c.pps.picInitQp = qp;
                        lend(c);
                        if (decode(c, 1).clean) return c;
                    }
    return std::nullopt;
}

H264Candidate Search::keyPicture(const std::vector<Survivor>& survivors) {
    for (size_t si = 0; si < survivors.size(); ++si) {
        const Survivor& sv = survivors[si];
        progress(10 + 40.0 * double(si) / double(survivors.size()));
        // Candidates that differ only in P/B fields decode the key picture alike.
        const auto sameKeyParse = [&](const Survivor& a) {
            return a.c.sps.log2MaxFrameNum == sv.c.sps.log2MaxFrameNum && a.c.sps.pocType == sv.c.sps.pocType &&
                   a.c.sps.log2MaxPocLsb == sv.c.sps.log2MaxPocLsb && a.c.pps.cabac == sv.c.pps.cabac &&
                   a.c.pps.deblockingControl == sv.c.pps.deblockingControl;
        };
        if (std::any_of(survivors.begin(), survivors.begin() + long(si), sameKeyParse)) continue;
        if (auto fit = keyPictureUnder(sv)) return *fit;
    }
    const bool cavlcOnly =
        std::all_of(survivors.begin(), survivors.end(), [](const Survivor& s) { return !s.c.pps.cabac; });
    if (cavlcOnly && !donor_)
        needReference("the slice headers read only as CAVLC (no CABAC reading fits them: a CAVLC stream, whose "
                      "initial QP needs a donor clip, or a damaged key picture)");
    needReference("no candidate decodes the key picture");
}

// 8 and 10 bits often both decode the key picture without errors, and so
// may 4:2:0 and 4:2:2; the samples they give do not tell the depth (a dark
// picture sits at black at the right depth, a bright sky at white). A wrong
// depth scales every block's residual wrongly, which the block-edge ratio
// sees whatever the content; where it cannot tell (a flat picture), the
// order of preference holds (the donor's format, then the camera's usual
// 4:2:0 8-bit and 4:2:2 10-bit).
void Search::pickDepth(H264Candidate& key) {
    const auto name = [](const H264Candidate& c) {
        return std::string(c.sps.chromaFormat == 2 ? "4:2:2 " : "4:2:0 ") + std::to_string(c.sps.bitDepthLuma) + "-bit";
    };
    double best = decode(key, 1, true).measure.edgeRatio();
    char one[64];
    snprintf(one, sizeof one, "%s %.2f", name(key).c_str(), best);
    std::string scores = one;
    const H264Candidate first = key;
    for (const Format& f : formats_) {
        if (f.chroma == first.sps.chromaFormat && f.depth == first.sps.bitDepthLuma) continue;
        H264Candidate c = first;
        c.sps.setFormat(f.chroma, f.depth);
        const ProbeResult r = decode(c, 1, true);
        if (!r.clean) continue;
        const double ratio = r.measure.edgeRatio();
        snprintf(one, sizeof one, ", %s %.2f", name(c).c_str(), ratio);
        scores += one;
        if (ratio > 0 && (best == 0 || ratio < best * kDecisive)) {
            key = c;
            best = ratio;
        }
    }
    rep_.info("picture format: " + name(key) + " (block-edge ratios of the key picture: " + scores + ")");
}

// The whole GOP: reference counts and the P/B fields. The decoded picture
// buffer must hold the past and the future picture a B slice refers to
// (1 + reorder depth) and as many pictures as a P slice names: a smaller
// count often decodes without errors, wrongly, while a larger one leaves
// the P lists as they are (the extra pictures come last). From there, the
// smallest count that decodes cleanly.
std::optional<H264Candidate> Search::wholeGop(const H264Candidate& k, const std::vector<Survivor>& survivors) {
    std::vector<uint32_t> refOrder;
    if (int r = optionInt(opts_, "ref", donor_ ? int(donor_->c.sps.maxRefFrames) : 0); r > 0)
        refOrder.push_back(uint32_t(r));
    for (uint32_t r = 1; r <= 16; ++r)
        if (std::find(refOrder.begin(), refOrder.end(), r) == refOrder.end()) refOrder.push_back(r);
    const uint32_t hintBipred = opts_.count("weightb") ? (optionInt(opts_, "weightb", 0) ? 2 : 0)
                                                       : (donor_ ? donor_->c.pps.bipredIdc : 0);
    std::vector<const Survivor*> order;
    for (const auto& sv : survivors)
        if (sv.c.sps.log2MaxFrameNum == k.sps.log2MaxFrameNum && sv.c.sps.pocType == k.sps.pocType &&
            sv.c.sps.log2MaxPocLsb == k.sps.log2MaxPocLsb && sv.c.pps.cabac == k.pps.cabac &&
            sv.c.pps.deblockingControl == k.pps.deblockingControl)
            order.push_back(&sv);
    // The preferred B weighting first (it decodes without errors either way).
    std::stable_sort(order.begin(), order.end(), [&](const Survivor* a, const Survivor* b) {
        return (a->c.pps.bipredIdc == hintBipred) > (b->c.pps.bipredIdc == hintBipred);
    });
    for (size_t i = 0; i < order.size(); ++i) {
        progress(50 + 40.0 * double(i) / double(order.size()));
        const GopParse& parsed = order[i]->parsed;
        uint32_t least = parsed.bSlices ? 1 + parsed.reorderDepth() : 1;
        for (const auto& hs : parsed.headers)
            if (hs.front().kind() == 0) least = std::max(least, hs.front().numRefL0);
        for (uint32_t refs : refOrder) {
            if (refs < least) continue;
            H264Candidate c = k;
            c.pps.weightedPred = order[i]->c.pps.weightedPred;
            c.pps.bipredIdc = order[i]->c.pps.bipredIdc;
            c.pps.numRefL0 = order[i]->c.pps.numRefL0;
            c.pps.numRefL1 = order[i]->c.pps.numRefL1;
            // No slice relies on the default: write the reference count
            // there, as encoders do.
            if (!parsed.refDefaultsUsed) c.pps.numRefL0 = std::max<uint32_t>(1, std::min<uint32_t>(refs, 32));
            c.sps.maxRefFrames = refs;
            c.sps.vui->reorderFrames = parsed.reorderDepth();
            if (decode(c, gop_.size()).clean) return c;
        }
    }
    return std::nullopt;
}

// Where the recording holds a second key picture: by the drift each set
// leaves (matrix_fit.h), flat matrices, the table's sets and the standard's
// default ones, then shapes fitted from the nearest of them; the table's
// first set keeps its place unless another is clearly lower, and so does a
// named set against a fitted shape.
std::optional<MatrixChoice> Search::fitMatrices(H264Candidate& w, const Samples& throughKey) {
    if (throughKey.empty()) return std::nullopt;
    const double started = clock_.seconds();
    std::vector<std::pair<const MatrixSet*, double>> named;  // no set: flat
    std::string steps;
    const auto measure = [&](const MatrixSet* set) {
        H264Candidate c = w;
        if (set) set->applyTo(c);
        if (const auto v = keyStep(c, throughKey)) {
            named.emplace_back(set, *v);
            steps += (steps.empty() ? "" : ", ") + (set ? set->name : std::string("flat")) + " " + fixed2(*v);
        }
    };
    measure(nullptr);
    for (const MatrixSet& set : matrixTable())
        if (set.fits(w.otherPpsIds)) measure(&set);
    measure(&standardDefaultSet());
    if (named.empty()) return std::nullopt;
    auto best = std::min_element(named.begin(), named.end(), [](auto& a, auto& b) { return a.second < b.second; });
    const auto first = std::find_if(named.begin(), named.end(), [](auto& n) {
        return n.first && n.first != &standardDefaultSet();
    });
    if (first != named.end() && best->second > first->second * kStepDecisive) best = first;

    const MatrixSet* set = best->first;
    const MatrixShape seed = !set ? MatrixShape{16, 0} : set == &standardDefaultSet() ? MatrixShape{6, 6} : MatrixShape{12, 4};
    const auto fitted = fitShape(
        [&](const MatrixShape& shape) -> std::optional<double> {
            if (clock_.seconds() > kFitUntilSeconds) return std::nullopt;
            H264Candidate c = w;
            c.pps.scaling = shape.lists();
            return keyStep(c, throughKey);
        },
        seed, kFitBudget);
    std::string measures = "steps to the next key picture against the GOP's own: " + steps;
    if (fitted)
        measures += ", fitted " + fixed2(fitted->step) + " (" + std::to_string(fitted->evaluations) + " shapes tried, " +
                    fixed2(clock_.seconds() - started) + " s)";
    if (fitted && fitted->step < best->second * kStepDecisive) {
        w.pps.scaling = fitted->shape.lists();
        return MatrixChoice{"fitted", fitted->shape.describe() + "; no reference or donor supplied them; " + measures};
    }
    if (!set) return MatrixChoice{"flat", "no reference or donor supplied them; " + measures};
    set->applyTo(w);
    return MatrixChoice{set->name, "no reference or donor supplied them; " + measures};
}

// Without a donor's matrices. Slices that name a known body's PPS ids name
// the body: its sets, whatever the measures say (hard synthetic edges ring
// under any custom set, and a steeper set of the table may fit the blocks
// better). Else, where the recording holds a second key picture, by the
// drift (fitMatrices). Without one: a set from the table of real bodies'
// (both bodies known use custom matrices, so the first set is the default
// where the pictures cannot tell), the one whose blocks fit best; the
// standard's defaults only when clearly better; flat matrices only when
// every table set rings on this stream where flat ones do not.
MatrixChoice Search::chooseMatrices(H264Candidate& w, const Samples& throughKey) {
    for (const MatrixSet& set : matrixTable())
        if (!set.byPpsId.empty() && set.fits(w.otherPpsIds)) {
            set.applyTo(w);
            return {set.name, "the body its PPS ids name, no reference or donor supplied them"};
        }
    if (auto fitted = fitMatrices(w, throughKey)) return *fitted;
    const PictureMeasure flat = decode(w, gop_.size(), true).measure;
    const MatrixSet* best = nullptr;
    double bestRatio = 0;
    bool allRing = true;
    std::string ratios, rings;
    for (const MatrixSet& set : matrixTable()) {
        if (!set.fits(w.otherPpsIds)) continue;
        H264Candidate c = w;
        set.applyTo(c);
        const ProbeResult r = decode(c, gop_.size(), true);
        if (!r.clean) continue;
        const double ratio = r.measure.edgeRatio();
        const double ring = flat.insideFourth() > 0 ? r.measure.insideFourth() / flat.insideFourth() : 1;
        allRing = allRing && ring > kRings;
        ratios += ", " + set.name + " " + fixed2(ratio);
        rings += (rings.empty() ? "" : ", ") + fixed2(ring);
        if (!best || ratio < bestRatio * kTableDecisive) {
            best = &set;
            bestRatio = ratio;
        }
    }
    H264Candidate d = w;
    standardDefaultSet().applyTo(d);
    const ProbeResult r = decode(d, gop_.size(), true);
    const double defaultRatio = r.clean ? r.measure.edgeRatio() : 0;
    if (defaultRatio > 0) ratios += ", " + standardDefaultSet().name + " " + fixed2(defaultRatio);
    const std::string measures =
        "block-edge ratios flat " + fixed2(flat.edgeRatio()) + ratios + "; ringing against flat " + rings;
    if (!best || allRing) return {"flat", "no reference or donor supplied them; " + measures};
    if (defaultRatio > 0 && defaultRatio < bestRatio * kDefaultDecisive) best = &standardDefaultSet();
    best->applyTo(w);
    const char* whose = best == &standardDefaultSet() ? "the standard's" : "a real body's";
    return {best->name, std::string(whose) + ", no reference or donor supplied them; " + measures};
}

// Pictures that are plainly not pictures (picture_check.h) are not written
// as a repair.
void Search::checkPictures(const H264Candidate& w) {
    if (clock_.expired()) needReference("the search took too long");
    std::vector<std::vector<uint8_t>> samples;
    for (const auto& pic : gop_) samples.push_back(pic.sample);
    const PictureVerdict v = judgePictures(w, samples);
    decodes_ += v.decodes;
    clock_.tick();
    if (v.pictures) {
        rep_.info("the rebuilt pictures look like pictures: " + v.why);
        return;
    }
    needReference("the pictures decoded under the rebuilt sets are not pictures: " + v.why);
}

}  // namespace

RebuiltParameterSets searchH264ParameterSets(const ByteSource& rsv, const RsvRecording& rec,
                                             const std::vector<std::vector<uint8_t>>& donorSets,
                                             Reporter& rep) {
    const auto started = Clock::now();
    const std::vector<GopPicture> gop = readGop(rsv, rec);
    const std::optional<Donor> donor = readDonor(donorSets, rep);

    H264Candidate base;
    const auto& first = gop[0].slices[0].bytes;
    const auto ppsId = H264SliceHeader::ppsIdOf(first.data(), first.size());
    if (!ppsId) needReference("unreadable slice header");
    base.pps.id = *ppsId;
    base.otherPpsIds = ppsIdsNamed(gop);
    if (donor) base.lentPps = donor->pps;
    base.sps.setTiming(rec.layout.videoTimescale, rec.layout.frameDuration, 0);

    // 1. Fields slice headers depend on: keep what parses consistently.
    const std::vector<Survivor> survivors = headerCandidates(gop, base, rep);
    if (survivors.empty()) needReference("no parameter set fits the slice headers");
    rep.info("parameter-set search: " + std::to_string(survivors.size()) +
             " candidates fit every slice header of the first GOP");

    Search search(gop, donor, rep);
    // 2. The key picture, then its bit depth; 3. the whole GOP; 4. the
    // matrices; 5. a look at the pictures before anything is written.
    H264Candidate key = search.keyPicture(survivors);
    search.pickDepth(key);
    std::optional<H264Candidate> gopFit = search.wholeGop(key, survivors);
    // A dark or flat key picture is mostly 16x16 blocks, which decode alike
    // with and without the 8x8 transform: the P pictures tell.
    if (!gopFit)
        if (auto other = search.otherTransform(key)) gopFit = search.wholeGop(*other, survivors);
    if (!gopFit) needReference("no candidate decodes the first GOP");
    H264Candidate& w = *gopFit;
    RebuiltParameterSets out;
    if (donor) {
        // A donor without matrices is a body coding with flat ones.
        out.matrices = donor->matrices() ? "donor" : "flat";
        out.why = donor->matrices() ? "the donor's, on trust" : "the donor's: it has none";
    } else {
        MatrixChoice m = search.chooseMatrices(w, readThroughNextKey(rsv, rec));
        out.matrices = m.name;
        out.why = m.why;
    }
    search.checkPictures(w);
    search.progress(100);
    const uint32_t mbs = w.sps.widthMbs * w.sps.heightMapUnits;
    w.sps.level = mbs > 8192 ? 51 : (mbs > 3600 ? 42 : 40);
    const double secs = std::chrono::duration<double>(Clock::now() - started).count();
    char line[240];
    snprintf(line, sizeof line,
             "parameter sets rebuilt from the slices: %ux%u, %s %u-bit, %s, %zu PPS, %zu test decodes in %.1f s",
             w.sps.width(), w.sps.height(), w.sps.chromaFormat == 2 ? "4:2:2" : "4:2:0", w.sps.bitDepthLuma,
             w.pps.cabac ? "CABAC" : "CAVLC", w.otherPpsIds.size(), search.decodes(), secs);
    rep.info(line);
    if (donor) {
        // Fields no decode confirms: a donor from another body lends wrong ones.
        std::string lent = "chroma_qp_offsets";
        if (donor->matrices()) lent += ", scaling_matrices";
        if (!w.pps.cabac) lent += ", initial_qp";
        rep.info("donor fields: " + lent);
    }
    out.nals = w.nals();
    return out;
}

}  // namespace tv
