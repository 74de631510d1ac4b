#include "noref/hevc_search.h"

#include "base/bytes.h"
#include "base/errors.h"
#include "codec/nal_units.h"
#include "codec/nal.h"
#include "mp4/config_record.h"
#include "noref/h264_probe.h"
#include "noref/hevc_one_slice.h"
#include "noref/hevc_survey.h"
#include "noref/search_clock.h"

#include <algorithm>
#include <functional>

namespace tv {
namespace {

// Pictures of the first GOP decoded: enough to use the inter tools, few
// enough to keep a 4K search within its time bound.
constexpr size_t kMaxGopPictures = 24;
constexpr size_t kMaxGopBytes = 96u << 20;
constexpr uint32_t kKeyPictureWindow = 64u << 20;
// Pictures of one slice whose data's end is confirmed one by one (each a
// decode of those before it).
constexpr size_t kTailChecks = 8;
constexpr uint32_t kTailCheckedBytes = 96;
// As for H.264 (param_search.cpp): block edges this much stronger than the
// blocks' insides are not a picture.
constexpr double kNotAPicture = 4.0;

[[noreturn]] void needReference(const std::string& why) {
    throw EngineError(EngineError::Kind::ReferenceNeeded,
                      "the H.265 parameter sets could not be rebuilt from the recording (" + why +
                          "); a reference clip from the same camera is needed");
}

std::vector<HevcPicture> readGop(const ByteSource& rsv, const RsvRecording& rec) {
    size_t end = rec.groupStarts.size() > 1 ? rec.groupStarts[1] : rec.frames.size();
    end = std::min(end, kMaxGopPictures);
    std::vector<HevcPicture> gop;
    size_t bytes = 0;
    for (size_t i = 0; i < end; ++i) {
        bytes += rec.frames[i].size;
        if (i > 0 && bytes > kMaxGopBytes) break;
        auto pic = hevcPictureOf(rsv.readVector(rec.frames[i].offset, rec.frames[i].size));
        if (!pic) break;
        // Pictures that skip the key picture to refer to ones recorded
        // before it (RASL) never decode at a recording's start.
        if (pic->type == 8 || pic->type == 9) continue;
        gop.push_back(std::move(*pic));
    }
    if (gop.empty() || !isHevcKeyType(gop.front().type))
        needReference("the recording does not start with an IDR or CRA picture");
    return gop;
}

// Most pictures that precede a picture in decode order but follow it in
// output order, under p's picture order length (0 when the headers do not
// read).
uint32_t reorderDepth(const std::vector<HevcPicture>& gop, const H265Params& p) {
    std::vector<int64_t> pocs;
    int64_t prevMsb = 0, prevLsb = 0;
    for (const auto& pic : gop) {
        const auto rbsp = unescapeRbsp(pic.slices[0].data() + 2, pic.slices[0].size() - 2);
        BitReader br(rbsp);
        br.skip(1);
        if (pic.type >= 16) br.skip(1);
        br.ue();
        br.skip(p.extraSliceHeaderBits);
        br.ue();
        if (p.outputFlagPresent) br.skip(1);
        int64_t lsb = 0;
        const bool idr = pic.type == 19 || pic.type == 20;
        if (!idr) lsb = br.u(int(p.log2MaxPocLsb));
        if (!br.ok()) return 0;
        const int64_t msb = idr || &pic == &gop.front() ? 0 : pocMsb(lsb, prevLsb, prevMsb, p.log2MaxPocLsb);
        // Sub-layer non-reference pictures (even types below 16) do not anchor the next.
        if (pic.type >= 16 || pic.type % 2) prevMsb = msb, prevLsb = lsb;
        pocs.push_back(msb + lsb);
    }
    return tv::reorderDepth(pocs);
}

// slice_segment_address of a slice that is not the first of its picture
// under p (0 when it does not read).
uint32_t sliceAddress(const std::vector<uint8_t>& slice, int type, const H265Params& p) {
    const auto rbsp = unescapeRbsp(slice.data() + 2, std::min<size_t>(slice.size() - 2, 16));
    BitReader br(rbsp);
    if (br.flag()) return 0;
    if (type >= 16) br.skip(1);
    br.ue();
    if (p.dependentSlices) br.skip(1);
    uint32_t bits = 0;
    while ((1u << bits) < p.picSizeInCtbs()) ++bits;
    const uint32_t a = br.u(int(bits));
    return br.ok() ? a : 0;
}

// The picture without its last slice (the decoder must leave that slice's
// coding tree blocks unwritten); the whole picture when it has one slice.
std::vector<uint8_t> withoutLastSlice(const HevcPicture& pic) {
    if (pic.slices.size() < 2) return pic.sample;
    std::vector<uint8_t> out;
    size_t vcl = 0;
    forEachNal(pic.sample.data(), pic.sample.size(), 4, [&](const uint8_t* nal, size_t len) {
        const int type = (nal[0] >> 1) & 63;
        if ((type <= 9 || (type >= 16 && type <= 21)) && ++vcl == pic.slices.size()) return true;
        out.insert(out.end(), nal - 4, nal + len);
        return true;
    });
    return out;
}

// One field the whole-GOP stage may change: its alternatives, tried in turn.
struct Field {
    const char* name;
    std::vector<std::function<void(H265Params&)>> values;
};

template <class T>
Field choices(const char* name, T H265Params::*member, std::vector<T> values) {
    Field f{name, {}};
    for (T v : values) f.values.push_back([member, v](H265Params& p) { p.*member = v; });
    return f;
}

std::vector<Field> gopFields(const H265Params& from) {
    std::vector<Field> fs;
    Field format{"picture format", {}};
    for (auto [chroma, depth] : {std::pair{1u, 10u}, {2u, 10u}, {1u, 8u}, {2u, 8u}})
        format.values.push_back([chroma = chroma, depth = depth](H265Params& p) {
            p.chromaFormat = chroma;
            p.bitDepth = depth;
        });
    fs.push_back(std::move(format));
    std::vector<int32_t> qps;
    for (int32_t d = 1; d <= 8; ++d) qps.insert(qps.end(), {from.initQp + d, from.initQp - d});
    fs.push_back(choices("initial QP", &H265Params::initQp, qps));
    fs.push_back(choices("sign hiding", &H265Params::signHiding, {true, false}));
    fs.push_back(choices("QP deltas", &H265Params::cuQpDelta, {true, false}));
    fs.push_back(choices("QP delta depth", &H265Params::cuQpDeltaDepth, {0u, 1u, 2u, 3u}));
    fs.push_back(choices("largest transform", &H265Params::log2MaxTb, {5u, 4u, 3u}));
    fs.push_back(choices("intra transform depth", &H265Params::depthIntra, {0u, 1u, 2u, 3u}));
    fs.push_back(choices("inter transform depth", &H265Params::depthInter, {0u, 1u, 2u, 3u}));
    fs.push_back(choices("temporal MVP", &H265Params::temporalMvp, {true, false}));
    fs.push_back(choices("weighted prediction", &H265Params::weightedPred, {false, true}));
    fs.push_back(choices("weighted bi-prediction", &H265Params::weightedBipred, {false, true}));
    fs.push_back(choices("asymmetric partitions", &H265Params::amp, {false, true}));
    fs.push_back(choices("CABAC init flag", &H265Params::cabacInitPresent, {false, true}));
    fs.push_back(choices("list modification", &H265Params::listsModification, {false, true}));
    std::vector<uint32_t> lsbs;
    for (uint32_t l = 4; l <= 16; ++l) lsbs.push_back(l);
    fs.push_back(choices("picture order length", &H265Params::log2MaxPocLsb, lsbs));
    fs.push_back(choices("L0 references", &H265Params::numRefL0, {1u, 2u, 3u, 4u}));
    fs.push_back(choices("L1 references", &H265Params::numRefL1, {1u, 2u}));
    fs.push_back(choices("transform skip", &H265Params::transformSkip, {false, true}));
    return fs;
}

class Search {
public:
    Search(std::vector<HevcPicture> gop, Reporter& rep)
        : gop_(std::move(gop)), ids_(hevcPpsIds(gop_)), clock_(rep) {
        oneSlice_ = std::all_of(gop_.begin(), gop_.end(), [](const HevcPicture& pic) { return pic.slices.size() == 1; });
        for (const auto& pic : gop_) {
            trimmed_.push_back(withoutLastSlice(pic));
            if (!oneSlice_) continue;
            auto added = withBytesAfterSlice(pic.sample);
            if (!added) needReference("a picture of one slice does not read");
            added_.push_back(std::move(*added));
        }
    }

    std::optional<H265Params> keyThenGop(const std::vector<H265Params>& candidates);
    void checkPictures(const H265Params& p) {
        const ProbeResult r = decode(p, gop_.size(), true);
        if (r.clean && r.measure.edgeRatio() <= kNotAPicture) return;
        char why[160];
        snprintf(why, sizeof why, "the pictures decoded under the rebuilt sets are not pictures (block-edge ratio %.2f)",
                 r.measure.edgeRatio());
        needReference(why);
    }
    const std::vector<HevcPicture>& gop() const { return gop_; }
    const std::vector<uint32_t>& ids() const { return ids_; }
    SearchClock& clock() { return clock_; }
    size_t decodes() const { return decodes_; }

private:
    ProbeResult decode(const H265Params& p, size_t pictures, bool measure = false) {
        if (clock_.expired()) needReference("the search took too long");
        clock_.tick();
        if (!p.valid()) return {};
        auto box = buildCodecConfig(VideoCodec::H265, h265Nals(p, ids_));
        if (!box) return {};
        std::vector<std::vector<uint8_t>> samples;
        for (size_t i = 0; i < pictures && i < gop_.size(); ++i) samples.push_back(gop_[i].sample);
        ++decodes_;
        return probeDecode(true, std::vector<uint8_t>(box->begin() + 8, box->end()), samples, measure);
    }
    // Pictures (in decode order) taken before the first error, each without
    // its last slice and with the blocks its slices wrote checked; one more
    // than the pictures when all are clean.
    size_t fitness(const H265Params& p, size_t pictures) {
        if (oneSlice_) return oneSliceFitness(p, pictures);
        size_t failed = pictures;
        const ProbeResult r = decodeChecked(p, pictures, failed);
        return r.clean ? pictures + 1 : std::min(r.accepted, failed);
    }
    ProbeResult decodeChecked(const H265Params& p, size_t pictures, size_t& failed);
    std::optional<H265Params> wholeGop(H265Params p);
    struct Decoded {
        std::vector<std::optional<uint64_t>> hashes;  // by picture; absent: not returned or not whole
        bool clean = false;
    };
    Decoded decodeWhole(const H265Params& p, const std::vector<std::vector<uint8_t>>& samples, bool needWhole);
    size_t oneSliceFitness(const H265Params& p, size_t pictures);
    bool tailsUsed(const H265Params& p, const Decoded& plain);
    bool topRowsWhole(const H265Params& p);

public:
    // Pictures of one slice: the sizes other than p's under which the key
    // picture's data also ends exactly where its slice ends.
    std::vector<H265Params> otherFittingSizes(const H265Params& p);
    // Whether each picture's slice reads up to its data's end (see
    // hevc_one_slice.h) under p, beyond the key picture; with several
    // slices, true.
    bool dataUsedUp(const H265Params& p) {
        if (!oneSlice_) return true;
        std::vector<std::vector<uint8_t>> samples;
        for (size_t i = 0; i < gop_.size() && i < kTailChecks; ++i) samples.push_back(added_[i]);
        return tailsUsed(p, decodeWhole(p, samples, true));
    }
    bool oneSlice() const { return oneSlice_; }

private:
    std::vector<HevcPicture> gop_;
    bool oneSlice_ = false;
    std::vector<std::vector<uint8_t>> added_;  // one slice: each picture with bytes after its slice
    std::vector<std::vector<uint8_t>> trimmed_;
    std::vector<uint32_t> ids_;
    SearchClock clock_;
    size_t decodes_ = 0;
};

// A slice decoded under wrong sets goes astray: it ends early, or runs on
// into blocks that belong to the next slice, or past the picture's end.
// With each picture's last slice left out, and the picture one row of
// coding tree blocks taller than it is, the blocks the decoder wrote must
// be exactly those before that slice's address (the picture's end for a
// single slice): the centre of every block from there on still holds the
// fill value 1, and the block just before it does not. The extra row is
// left off where it would widen the slice addresses.
ProbeResult Search::decodeChecked(const H265Params& p, size_t pictures, size_t& failed) {
    if (clock_.expired()) needReference("the search took too long");
    clock_.tick();
    if (!p.valid()) return {};
    const uint32_t ctb = 1u << p.log2Ctb, widthCtbs = (p.codedWidth() + ctb - 1) / ctb;
    H265Params tall = p;
    tall.height = p.codedHeight() + ctb;
    const auto bits = [](uint32_t v) { return v > 1 ? 32 - __builtin_clz(v - 1) : 0; };
    const bool oneSlice = std::all_of(gop_.begin(), gop_.begin() + long(std::min(pictures, gop_.size())),
                                      [](const HevcPicture& pic) { return pic.slices.size() == 1; });
    const H265Params& decoded = oneSlice || bits(tall.picSizeInCtbs()) == bits(p.picSizeInCtbs()) ? tall : p;
    auto box = buildCodecConfig(VideoCodec::H265, h265Nals(decoded, ids_));
    if (!box || !decoded.valid()) return {};
    std::vector<uint32_t> lastAddress;
    std::vector<std::vector<uint8_t>> samples;
    for (size_t i = 0; i < pictures && i < gop_.size(); ++i) {
        const HevcPicture& pic = gop_[i];
        lastAddress.push_back(pic.slices.size() < 2 ? p.picSizeInCtbs() : sliceAddress(pic.slices.back(), pic.type, p));
        samples.push_back(trimmed_[i]);
    }
    const PictureCheck check = [&](size_t i, const LumaView& y) {
        failed = i;
        if (i >= lastAddress.size() || lastAddress[i] == 0) return false;
        const auto unwritten = [&](uint32_t addr) {
            const int x0 = int(addr % widthCtbs * ctb), y0 = int(addr / widthCtbs * ctb);
            const int cx = std::min(x0 + int(ctb) / 2, (x0 + y.width) / 2 + 1) - 2;
            const int cy = std::min(y0 + int(ctb) / 2, (y0 + y.height) / 2 + 1) - 2;
            for (int dy = 0; dy < 4; ++dy)
                for (int dx = 0; dx < 4; ++dx) {
                    const int x = std::clamp(cx + dx, 0, y.width - 1), yy = std::clamp(cy + dy, 0, y.height - 1);
                    if (y.at(x, yy) != 1) return false;
                }
            return true;
        };
        if (unwritten(lastAddress[i] - 1)) return false;
        for (uint32_t a = lastAddress[i]; a < decoded.picSizeInCtbs(); ++a)
            if (!unwritten(a)) return false;
        failed = lastAddress.size();
        return true;
    };
    ++decodes_;
    return probeDecode(true, std::vector<uint8_t>(box->begin() + 8, box->end()), samples, false, &check);
}

// Each picture decoded under p at its own size, hashed whole; with
// needWhole, a picture some block of which no slice wrote has no hash.
Search::Decoded Search::decodeWhole(const H265Params& p, const std::vector<std::vector<uint8_t>>& samples,
                                    bool needWhole) {
    if (clock_.expired()) needReference("the search took too long");
    clock_.tick();
    Decoded d;
    d.hashes.resize(samples.size());
    auto box = p.valid() ? buildCodecConfig(VideoCodec::H265, h265Nals(p, ids_)) : std::nullopt;
    if (!box) return d;
    const PictureCheck check = [&](size_t i, const LumaView& y) {
        if (i >= samples.size() || (needWhole && !everyBlockWritten(y, 1u << p.log2Ctb))) return false;
        d.hashes[i] = lumaHash(y);
        return true;
    };
    ++decodes_;
    d.clean = probeDecode(true, std::vector<uint8_t>(box->begin() + 8, box->end()), samples, false, &check).clean;
    return d;
}

// Pictures of one slice (hevc_one_slice.h), in decode order, each with
// bytes of ones after its slice: a decode that runs past the slice's data
// reads them as the slice's end and leaves the rest of the picture
// unwritten. Those whose blocks were all written pass (the key picture's
// must also change with its last bytes); one more than the pictures when
// all do.
size_t Search::oneSliceFitness(const H265Params& p, size_t pictures) {
    pictures = std::min(pictures, gop_.size());
    if (pictures == 1 && !topRowsWhole(p)) return 0;
    const std::vector<std::vector<uint8_t>> added(added_.begin(), added_.begin() + long(pictures));
    const Decoded d = decodeWhole(p, added, true);
    size_t whole = 0;
    while (whole < pictures && d.hashes[whole]) ++whole;
    if (whole == 0) return 0;
    // The key picture: read to its data's end, but not a bit beyond (its
    // picture is the same followed by zeros), under this size alone.
    Decoded key = d;
    key.hashes.resize(1);
    if (!tailsUsed(p, key) || decodeWhole(p, {gop_.front().sample}, true).hashes[0] != key.hashes[0]) return 0;
    return whole == pictures && d.clean ? pictures + 1 : whole;
}

// The rows above the last one read the same whatever the picture's height:
// a slice whose data runs out before the key picture's first rows end
// fails at once, in a decode of those rows alone (a large picture costs
// its size in every decode, even one that stops early).
bool Search::topRowsWhole(const H265Params& p) {
    const uint32_t ctb = 1u << p.log2Ctb;
    for (uint32_t rows : {2u, 8u, 32u}) {
        if (rows * ctb >= p.codedHeight()) break;
        H265Params top = p;
        top.height = rows * ctb;
        if (!decodeWhole(top, {added_.front()}, true).hashes[0]) return false;
    }
    return true;
}

// Each of the first pictures decoded with its own slice's last bytes
// changed (those before it as they are) must come out otherwise than in
// `plain`. The key picture must show it; a picture of a still scene may be
// too small to (its blocks copied, its few bytes mostly the header).
bool Search::tailsUsed(const H265Params& p, const Decoded& plain) {
    std::vector<std::vector<uint8_t>> samples;
    for (size_t i = 0; i < plain.hashes.size(); ++i) {
        const auto changed = withSliceTailChanged(gop_[i].sample);
        if (!plain.hashes[i] || (!changed && i == 0)) return false;
        if (!changed || (i > 0 && gop_[i].sliceSizes.front() < kTailCheckedBytes)) {
            samples.push_back(gop_[i].sample);
            continue;
        }
        samples.push_back(*changed);
        if (decodeWhole(p, samples, false).hashes[i] == plain.hashes[i]) return false;
        samples.back() = gop_[i].sample;
    }
    return true;
}

std::vector<H265Params> Search::otherFittingSizes(const H265Params& p) {
    std::vector<H265Params> also;
    for (const auto& [w, h] : oneSliceFrameSizes())
        for (uint32_t ctb : {6u, 5u, 4u}) {
            H265Params q = p;
            q.width = w, q.height = h, q.log2Ctb = ctb;
            q.log2MaxTb = std::min(p.log2MaxTb, ctb);
            if (q.codedWidth() == p.codedWidth() && q.codedHeight() == p.codedHeight() && ctb == p.log2Ctb) continue;
            if (q.valid() && ctbSizeAllowed(q) && fitness(q, 1) >= 2) also.push_back(q);
        }
    return also;
}

// From a candidate that decodes the key picture: each round tries every
// single-field change and keeps the one that lets the most pictures pass
// (the first improvement can be a wrong field whose header bits happen to
// realign one picture), until all do.
std::optional<H265Params> Search::wholeGop(H265Params p) {
    size_t best = fitness(p, gop_.size());
    const size_t clean = gop_.size() + 1;
    for (int round = 0; round < 6 && best < clean; ++round) {
        std::optional<H265Params> next;
        size_t nextFit = best;
        for (const Field& f : gopFields(p))
            for (const auto& set : f.values) {
                H265Params t = p;
                set(t);
                const size_t got = fitness(t, gop_.size());
                if (got == clean) return t;
                if (got > nextFit) next = t, nextFit = got;
            }
        clock_.progress(50 + 8.0 * (round + 1));
        if (!next) break;
        p = *next, best = nextFit;
    }
    if (best == clean) return p;
    return std::nullopt;
}

// The fields an intra slice's coding depends on besides the initial QP,
// with their likelihood rank (the sum of each choice's place in its list).
struct IntraChoice {
    int rank;
    std::function<void(H265Params&)> set;
};

std::vector<IntraChoice> intraChoices() {
    std::vector<IntraChoice> all;
    const std::pair<uint32_t, uint32_t> formats[] = {{1, 10}, {2, 10}, {1, 8}, {2, 8}};
    const int cuQp[] = {0, 1, 2, -1, 3};
    for (int f = 0; f < 4; ++f)
        for (int q = 0; q < 5; ++q)
            for (int sh = 0; sh < 2; ++sh)
                for (uint32_t di = 0; di < 4; ++di)
                    for (uint32_t tb = 0; tb < 3; ++tb)
                        for (uint32_t cb = 0; cb < 2; ++cb)
                            for (int ts = 0; ts < 2; ++ts)
                                all.push_back({f + q + sh + int(di) + int(tb) + int(cb) + 2 * ts, [=](H265Params& p) {
                                                   p.chromaFormat = formats[f].first;
                                                   p.bitDepth = formats[f].second;
                                                   p.cuQpDelta = cuQp[q] >= 0;
                                                   p.cuQpDeltaDepth = uint32_t(std::max(0, cuQp[q]));
                                                   p.signHiding = sh == 0;
                                                   p.depthIntra = di;
                                                   p.log2MaxTb = 5 - tb;
                                                   p.log2MinCb = 3 + cb;
                                                   p.transformSkip = ts == 1;
                                               }});
    std::stable_sort(all.begin(), all.end(), [](const IntraChoice& a, const IntraChoice& b) { return a.rank < b.rank; });
    return all;
}

// The key picture: every geometry the headers allow (likeliest first),
// every combination of intra fields and every initial QP, in widening
// tiers (likelier fields, QPs nearer the usual 26), until each slice writes
// exactly its own blocks; each such candidate goes on to the whole GOP.
std::optional<H265Params> Search::keyThenGop(const std::vector<H265Params>& candidates) {
    const auto choices = intraChoices();
    const std::pair<int, int32_t> tiers[] = {{1, 2}, {2, 6}, {3, 12}, {4, 25}, {99, 38}};
    std::pair<int, int32_t> done{-1, -1};
    // One slice: every camera size is tried under each reading, so only the
    // likeliest tier (a search that finds nothing must end well within its
    // bound); a body that is not found is refused, not guessed.
    const size_t lastTier = oneSlice_ ? 1 : std::size(tiers);
    for (size_t t = 0; t < lastTier; ++t) {
        const auto [rank, spread] = tiers[t];
        for (size_t g = 0; g < candidates.size(); ++g) {
            clock_.progress(10 + 40.0 * (double(t) + double(g) / double(candidates.size())) / double(lastTier));
            // One slice: many header readings fit, the unusual ones later
            // (wavefront rows are usual where the entry points count the rows).
            const H265Params& c0 = candidates[g];
            const int off = oneSlice_ ? fieldsOffUsual(c0, H265Params{}) - int(c0.entropySync) : 0;
            for (const IntraChoice& choice : choices) {
                if (choice.rank + off > rank) break;
                for (int32_t d = 0; d <= spread; ++d)
                    for (int32_t qp : {26 + d, 26 - d}) {
                        if ((d == 0 && qp != 26) || qp < -12 || qp > 51) continue;
                        if (choice.rank + off <= done.first && d <= done.second) continue;  // an earlier tier's
                        H265Params c = candidates[g];
                        choice.set(c);
                        c.initQp = qp;
                        if (!c.valid() || fitness(c, 1) < 2) continue;
                        if (auto fit = wholeGop(c)) return fit;
                    }
            }
        }
        done = tiers[t];
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::vector<uint8_t>> h265Nals(const H265Params& p, const std::vector<uint32_t>& ppsIds) {
    std::vector<std::vector<uint8_t>> out{p.vps(), p.sps()};
    for (uint32_t id : ppsIds) {
        H265Params q = p;
        q.ppsId = id;
        out.push_back(q.pps());
    }
    if (ppsIds.empty()) out.push_back(p.pps());
    return out;
}

std::vector<H265Params> hevcKeyCandidates(const ByteSource& rsv, int64_t firstAud, Reporter& rep) {
    rep.progress(0);
    auto key = readHevcPicture(rsv, firstAud, kKeyPictureWindow);
    if (!key) needReference("the first picture does not read");
    if (!isHevcKeyType(key->type)) needReference("the recording does not start with an IDR or CRA picture");
    H265Params usual;
    auto found = surveyKeyPicture(*key, usual);
    if (found.empty()) needReference("no parameter set fits the key picture's slice headers");
    rep.info("parameter-set search (H.265): " + std::to_string(found.size()) +
             " candidates fit every slice header of the key picture");
    rep.progress(10);
    return found;
}

RebuiltParameterSets searchH265ParameterSets(const ByteSource& rsv, const RsvRecording& rec,
                                             const std::vector<H265Params>& candidates, Reporter& rep) {
    Search search(readGop(rsv, rec), rep);
    std::optional<H265Params> fit = search.keyThenGop(candidates);
    if (!fit)
        needReference(search.oneSlice() ? "one slice per picture: no frame size that cameras record fits its data"
                                        : "no candidate decodes the first GOP");
    H265Params& p = *fit;
    p.timeScale = rec.layout.videoTimescale;
    p.unitsInTick = rec.layout.frameDuration;
    p.numReorder = reorderDepth(search.gop(), p);
    // References the slices use are not known: the largest buffer every
    // level allows at full size, which costs a player nothing.
    p.maxDecPicBuffering = std::max<uint32_t>(p.numReorder + 1, 6);
    if (search.oneSlice()) {
        // A single slice names no address: the size rests on where its data
        // ends, so every picture checked must end there and no other size may.
        if (!search.dataUsedUp(p)) needReference("one slice per picture: the pictures do not end where their data ends");
        const auto also = search.otherFittingSizes(p);
        if (!also.empty())
            needReference("one slice per picture: both " + std::to_string(p.width) + "x" + std::to_string(p.height) +
                          " and " + std::to_string(also.front().width) + "x" + std::to_string(also.front().height) +
                          " fit");
    }
    search.checkPictures(p);
    search.clock().progress(100);
    char line[240];
    snprintf(line, sizeof line,
             "parameter sets rebuilt from the slices: %ux%u, %s %u-bit, CTB %u, %zu PPS, %zu test decodes in %.1f s",
             p.width, p.height, p.chromaFormat == 2 ? "4:2:2" : "4:2:0", p.bitDepth, 1u << p.log2Ctb,
             std::max<size_t>(1, search.ids().size()), search.decodes(), search.clock().seconds());
    rep.info(line);
    rep.info("H.265 fields no decode tells apart, at the usual camera values: scaling lists off, strong intra "
             "smoothing on, parallel merge level 4, chroma QP offsets 0");
    RebuiltParameterSets out;
    out.nals = h265Nals(p, search.ids());
    out.matrices = "flat";
    return out;
}

}  // namespace tv
