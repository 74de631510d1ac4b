#include "noref/hevc_survey.h"

#include "base/bytes.h"
#include "codec/nal_units.h"
#include "noref/hevc_one_slice.h"

#include <algorithm>
#include <array>
#include <set>

namespace tv {
namespace {

// More than any slice segment header with its entry points (a 4K picture
// in wavefront rows has about 70 of them).
constexpr size_t kSliceHeadBytes = 1100;
constexpr int kAud = 35;

bool isVcl(int type) { return type <= 9 || (type >= 16 && type <= 21); }

uint32_t ceilLog2(uint32_t v) {
    uint32_t n = 0;
    while ((1u << n) < v) ++n;
    return n;
}

// Frame sizes H.265 bodies record, likeliest first.
constexpr std::pair<uint32_t, uint32_t> kSizes[] = {
    {1920, 1080}, {3840, 2160}, {1280, 720}, {4096, 2160}, {2560, 1440}, {1440, 1080}, {1920, 1200},
    {7680, 4320}, {720, 480},   {720, 576},  {960, 540},   {640, 360},   {320, 180},   {320, 240},
    {480, 270},   {352, 288},   {160, 90}};

struct KeyHeader {
    bool first = false;
    uint32_t address = 0, ppsId = 0, entryPoints = 0;
    uint64_t entryBytes = 0;
    // What the slice data's reading depends on: where it starts, its QP,
    // whether it carries SAO parameters.
    size_t dataBits = 0;
    int32_t qpDelta = 0;
    int sao = 0;
};

// st_ref_pic_set(0) as a slice header codes it (7.3.7: no prediction from
// another set): the pictures a key picture keeps for those after it.
bool skipRefPicSet(BitReader& br) {
    const uint32_t before = br.ue(), after = br.ue();
    if (before > 16 || after > 16 || before + after > 16) return false;
    for (uint32_t i = 0; i < before + after && br.ok(); ++i) {
        if (br.ue() > 32767) return false;
        br.skip(1);
    }
    return br.ok();
}

// slice_segment_header() of a key picture's I slice (7.3.6.1) under p;
// ctbs: PicSizeInCtbsY. A CRA picture's header names its picture order and
// the pictures it keeps (the SPS written holds no sets of its own).
std::optional<KeyHeader> readKeyHeader(const std::vector<uint8_t>& rbsp, int type, const H265Params& p,
                                       uint32_t ctbs) {
    BitReader br(rbsp);
    KeyHeader h;
    h.first = br.flag();
    br.skip(1);  // no_output_of_prior_pics_flag
    h.ppsId = br.ue();
    bool dependent = false;
    if (!h.first) {
        if (p.dependentSlices) dependent = br.flag();
        h.address = br.u(int(ceilLog2(ctbs)));
        if (h.address == 0 || h.address >= ctbs) return std::nullopt;
    }
    if (!dependent) {
        br.skip(p.extraSliceHeaderBits);
        if (br.ue() != 2) return std::nullopt;  // a key picture holds I slices only
        if (p.outputFlagPresent) br.skip(1);
        if (type != 19 && type != 20) {
            br.skip(p.log2MaxPocLsb);
            if (br.flag() || !skipRefPicSet(br)) return std::nullopt;
            if (p.temporalMvp) br.skip(1);
        }
        bool sao = false, deblockingOff = p.deblockingDisabled;
        if (p.sao) {
            h.sao = 1 + br.flag();
            h.sao += 2 * br.flag();
            sao = h.sao > 1;
        }
        const int32_t qpDelta = h.qpDelta = br.se();
        if (qpDelta < -63 || qpDelta > 51) return std::nullopt;
        if (p.sliceChromaQpOffsets) {
            const int32_t cb = br.se(), cr = br.se();
            if (cb < -12 || cb > 12 || cr < -12 || cr > 12) return std::nullopt;
        }
        if (p.deblockingOverride && br.flag()) {
            deblockingOff = br.flag();
            if (!deblockingOff) {
                const int32_t beta = br.se(), tc = br.se();
                if (beta < -6 || beta > 6 || tc < -6 || tc > 6) return std::nullopt;
            }
        }
        if (p.loopFilterAcrossSlices && (sao || !deblockingOff)) br.skip(1);
    }
    if (p.entropySync) {
        h.entryPoints = br.ue();
        if (h.entryPoints > 4096) return std::nullopt;
        if (h.entryPoints) {
            const uint32_t len = br.ue() + 1;
            if (len > 32) return std::nullopt;
            for (uint32_t i = 0; i < h.entryPoints && br.ok(); ++i) h.entryBytes += uint64_t(br.u(int(len))) + 1;
        }
    }
    if (p.sliceHeaderExtension) {
        const uint32_t n = br.ue();
        if (n > 256) return std::nullopt;
        br.skip(8 * size_t(n));
    }
    // byte_alignment(): a one, then zeros to the byte boundary.
    if (!br.flag()) return std::nullopt;
    while (br.ok() && br.position() % 8)
        if (br.flag()) return std::nullopt;
    if (!br.ok()) return std::nullopt;
    h.dataBits = br.position();
    return h;
}

// Every slice of the picture under p: the first first, addresses rising,
// one PPS, and with wavefronts one entry point per further row spanned.
// Returns the number of entry points confirmed (with wavefronts), or -1.
int pictureFits(const std::vector<std::vector<uint8_t>>& rbsps, const std::vector<uint32_t>& sizes, int type,
                const H265Params& p) {
    const uint32_t ctbs = p.picSizeInCtbs();
    const uint32_t widthCtbs = (p.codedWidth() + (1u << p.log2Ctb) - 1) >> p.log2Ctb;
    std::vector<KeyHeader> hs;
    for (const auto& r : rbsps) {
        auto h = readKeyHeader(r, type, p, ctbs);
        if (!h || h->first != hs.empty()) return -1;
        if (!hs.empty() && (h->address <= hs.back().address || h->ppsId != hs.front().ppsId)) return -1;
        hs.push_back(*h);
    }
    int confirmed = 0;
    for (size_t i = 0; i < hs.size(); ++i) {
        if (hs[i].entryBytes >= sizes[i]) return -1;
        if (!p.entropySync) continue;
        const uint32_t end = i + 1 < hs.size() ? hs[i + 1].address : ctbs;
        const uint32_t rows = (end - 1) / widthCtbs - hs[i].address / widthCtbs + 1;
        if (hs[i].entryPoints != rows - 1) return -1;
        confirmed += int(hs[i].entryPoints);
    }
    return confirmed;
}

}  // namespace

std::optional<HevcPicture> hevcPictureOf(std::vector<uint8_t> sample) {
    HevcPicture pic;
    bool first = true, ok = true;
    const bool whole = forEachNal(sample.data(), sample.size(), 4, [&](const uint8_t* nal, size_t len) {
        if (len < 3) return ok = false;
        const int type = (nal[0] >> 1) & 63;
        if (first && type != kAud) return ok = false;
        first = false;
        if (isVcl(type)) {
            if (pic.slices.empty()) pic.type = type;
            pic.slices.emplace_back(nal, nal + std::min(len, kSliceHeadBytes));
            pic.sliceSizes.push_back(uint32_t(len));
        }
        return true;
    });
    if (!whole || !ok || pic.slices.empty()) return std::nullopt;
    pic.sample = std::move(sample);
    return pic;
}

std::optional<HevcPicture> readHevcPicture(const ByteSource& rsv, int64_t offset, int64_t limit) {
    int64_t p = offset;
    const int64_t end = std::min(rsv.size(), offset + limit);
    while (p + 6 <= end) {
        uint8_t head[6];
        if (!rsv.readExact(p, head, 6)) break;
        const uint32_t len = uint32_t(head[0]) << 24 | uint32_t(head[1]) << 16 | uint32_t(head[2]) << 8 | head[3];
        if ((((head[4] >> 1) & 63) == kAud && p > offset) || len < 2 || p + 4 + int64_t(len) > end) break;
        p += 4 + int64_t(len);
    }
    if (p == offset) return std::nullopt;
    return hevcPictureOf(rsv.readVector(offset, size_t(p - offset)));
}

std::vector<uint32_t> hevcPpsIds(const std::vector<HevcPicture>& pictures) {
    std::vector<uint32_t> ids;
    for (const auto& pic : pictures)
        for (const auto& s : pic.slices) {
            const auto rbsp = unescapeRbsp(s.data() + 2, s.size() - 2);
            BitReader br(rbsp);
            br.skip(1);
            if (((s[0] >> 1) & 63) >= 16) br.skip(1);
            const uint32_t id = br.ue();
            if (br.ok() && id <= 63 && std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        }
    std::sort(ids.begin(), ids.end());
    return ids;
}

bool isHevcKeyType(int type) { return type >= 16 && type <= 21; }

// Pictures larger than level 4.1 allows need level 5 or higher, where the
// coding tree blocks are 32 or 64 samples (A.4.1).
bool ctbSizeAllowed(const H265Params& p) { return p.log2Ctb >= 5 || uint64_t(p.width) * p.height <= 2228224; }

int fieldsOffUsual(const H265Params& p, const H265Params& usual) {
    return (p.sao != usual.sao) + (p.entropySync != usual.entropySync) +
           (p.loopFilterAcrossSlices != usual.loopFilterAcrossSlices) +
           (p.deblockingOverride != usual.deblockingOverride) + (p.deblockingDisabled != usual.deblockingDisabled) +
           (p.sliceChromaQpOffsets != usual.sliceChromaQpOffsets) +
           (p.outputFlagPresent != usual.outputFlagPresent) + (p.dependentSlices != usual.dependentSlices) +
           (p.sliceHeaderExtension != usual.sliceHeaderExtension) + (p.temporalMvp != usual.temporalMvp) +
           (p.extraSliceHeaderBits != usual.extraSliceHeaderBits);
}

std::vector<H265Params> surveyKeyPicture(const HevcPicture& key, const H265Params& usual) {
    std::vector<std::vector<uint8_t>> rbsps;
    for (const auto& s : key.slices) rbsps.push_back(unescapeRbsp(s.data() + 2, s.size() - 2));
    const bool oneSlice = rbsps.size() == 1;
    std::vector<std::pair<uint32_t, uint32_t>> sizes(std::begin(kSizes), std::end(kSizes));
    if (oneSlice) sizes = oneSliceFrameSizes();
    const bool idr = key.type == 19 || key.type == 20;
    struct Reading {
        int rank;  // fields off their usual value
        H265Params p;
        std::array<uint64_t, 6> parse;
    };
    std::vector<Reading> found;
    std::vector<uint32_t> ctbs{usual.log2Ctb};
    for (uint32_t c : {6u, 5u, 4u})
        if (c != usual.log2Ctb) ctbs.push_back(c);
    for (uint32_t bits = 0; bits < (1u << 11); ++bits) {
        if (idr && bits >> 10) break;  // an IDR header holds no picture order
        H265Params f = usual;
        bool* const flags[] = {&f.sao, &f.entropySync, &f.loopFilterAcrossSlices, &f.deblockingOverride,
                               &f.deblockingDisabled, &f.sliceChromaQpOffsets, &f.outputFlagPresent,
                               &f.dependentSlices, &f.sliceHeaderExtension};
        for (size_t i = 0; i < std::size(flags); ++i)
            if (bits >> i & 1) *flags[i] = !*flags[i];
        if (bits >> 9 & 1) f.extraSliceHeaderBits = f.extraSliceHeaderBits ? 0 : 1;
        if (bits >> 10 & 1) f.temporalMvp = !f.temporalMvp;
        for (uint32_t lsb = idr ? usual.log2MaxPocLsb : 4; lsb <= (idr ? usual.log2MaxPocLsb : 16); ++lsb) {
            f.log2MaxPocLsb = lsb;
            const int unusual = fieldsOffUsual(f, usual) + (lsb != usual.log2MaxPocLsb);
            // The first slice names no address: its header reads the same
            // under every geometry.
            const auto first = readKeyHeader(rbsps[0], key.type, f, 1);
            if (!first) continue;
            for (const auto& [w, h] : sizes)
                for (uint32_t ctb : ctbs) {
                    H265Params c = f;
                    c.width = w;
                    c.height = h;
                    c.log2Ctb = ctb;
                    c.log2MaxTb = std::min(c.log2MaxTb, ctb);
                    // Entry points that match the rows a slice spans do so by
                    // chance very rarely: such a reading comes first.
                    const int confirmed =
                        c.valid() && ctbSizeAllowed(c) ? pictureFits(rbsps, key.sliceSizes, key.type, c) : -1;
                    if (confirmed < 0) continue;
                    found.push_back({unusual - 100 * (confirmed > 0), c,
                                     {first->dataBits, uint64_t(int64_t(first->qpDelta) + 64),
                                      uint64_t(first->sao) << 1 | c.entropySync, w, h, ctb}});
                }
        }
    }
    // Among equally usual readings of several slices the smaller pictures
    // first: a wrong reading decodes as long as its picture is large, the
    // right one is confirmed at once. One slice keeps the sizes' order, and
    // of readings that leave its data read the same way (fields that only
    // shape the header) the usual one.
    std::stable_sort(found.begin(), found.end(), [oneSlice](const Reading& a, const Reading& b) {
        const uint64_t areaA = uint64_t(a.p.width) * a.p.height, areaB = uint64_t(b.p.width) * b.p.height;
        return a.rank != b.rank ? a.rank < b.rank : !oneSlice && areaA < areaB;
    });
    std::set<std::array<uint64_t, 6>> seen;
    std::vector<H265Params> out;
    for (auto& t : found) {
        if (oneSlice && !seen.insert(t.parse).second) continue;
        out.push_back(t.p);
    }
    return out;
}

}  // namespace tv
