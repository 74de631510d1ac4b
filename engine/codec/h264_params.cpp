#include "codec/h264_params.h"

#include "base/bytes.h"
#include "codec/nal_header.h"

#include <algorithm>

namespace tv {
namespace {

class BitWriter {
public:
    void u(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
    }
    void flag(bool b) { bit(b ? 1 : 0); }
    void ue(uint32_t v) {
        uint64_t x = uint64_t(v) + 1;
        int len = 0;
        while ((x >> len) > 1) ++len;
        u(0, len);
        for (int i = len; i >= 0; --i) bit(uint32_t(x >> i) & 1);
    }
    void se(int32_t v) { ue(v > 0 ? uint32_t(2 * int64_t(v) - 1) : uint32_t(-2 * int64_t(v))); }
    // rbsp_trailing_bits, then the NAL header in front and emulation
    // prevention bytes inserted.
    std::vector<uint8_t> nal(uint8_t header) {
        bit(1);
        while (bits_ % 8) bit(0);
        std::vector<uint8_t> out{header};
        int zeros = 0;
        for (uint8_t b : bytes_) {
            if (zeros >= 2 && b <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            out.push_back(b);
            zeros = b == 0 ? zeros + 1 : 0;
        }
        return out;
    }

private:
    void bit(uint32_t b) {
        if (bits_ % 8 == 0) bytes_.push_back(0);
        if (b) bytes_.back() |= uint8_t(0x80 >> (bits_ % 8));
        ++bits_;
    }
    std::vector<uint8_t> bytes_;
    size_t bits_ = 0;
};

// Writes `count` lists; lists the source lacks are written absent (the
// fall-back rule then applies).
void writeScaling(BitWriter& w, const ScalingLists& s, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const bool have = i < s.lists.size() && s.lists[i].has_value();
        w.flag(have);
        if (have)
            for (int32_t d : *s.lists[i]) w.se(d);
    }
}

}  // namespace

bool readScalingLists(BitReader& br, int count, ScalingLists& s) {
    s.lists.clear();
    for (int i = 0; i < count && br.ok(); ++i) {
        if (!br.flag()) {
            s.lists.emplace_back();
            continue;
        }
        std::vector<int32_t> deltas;
        int size = i < 6 ? 16 : 64, last = 8, next = 8;
        for (int j = 0; j < size && br.ok(); ++j) {
            if (next == 0) break;
            int32_t d = br.se();
            if (d < -128 || d > 127) return false;
            deltas.push_back(d);
            next = (last + d + 256) % 256;
            last = next == 0 ? last : next;
        }
        s.lists.emplace_back(std::move(deltas));
    }
    return br.ok();
}

std::vector<uint8_t> H264Params::spsNal() const {
    BitWriter w;
    w.u(profile, 8);
    w.u(0, 8);  // constraint flags
    w.u(level, 8);
    w.ue(spsId);
    if (h264SpsHasChromaInfo(profile)) {
        w.ue(chroma);
        if (chroma == 3) w.flag(false);
        w.ue(bitDepth - 8);
        w.ue(bitDepth - 8);
        w.flag(false);
        w.flag(spsScaling.present());
        if (spsScaling.present()) writeScaling(w, spsScaling, chroma != 3 ? 8 : 12);
    }
    w.ue(log2MaxFrameNum - 4);
    w.ue(pocType);
    if (pocType == 0) w.ue(log2MaxPocLsb - 4);
    w.ue(maxRefFrames);
    w.flag(false);
    w.ue(widthMbs - 1);
    w.ue(heightMbs - 1);
    w.flag(true);  // frame_mbs_only
    w.flag(true);  // direct_8x8_inference
    const uint32_t unitX = chroma == 3 ? 1 : 2, unitY = chroma == 1 ? 2 : 1;
    w.flag(cropRight || cropBottom);
    if (cropRight || cropBottom) {
        w.ue(0);
        w.ue(cropRight / unitX);
        w.ue(0);
        w.ue(cropBottom / unitY);
    }
    w.flag(true);  // VUI
    w.flag(false); w.flag(false); w.flag(false); w.flag(false);
    w.flag(timescale != 0);
    if (timescale) {
        w.u(frameDuration, 32);
        w.u(timescale * 2, 32);
        w.flag(true);
    }
    w.flag(false); w.flag(false);  // no HRD
    w.flag(false);                 // pic_struct_present
    w.flag(true);                  // bitstream restriction: the decoder's reorder depth
    w.flag(true);
    w.ue(0); w.ue(0); w.ue(16); w.ue(16);
    w.ue(reorderFrames);
    w.ue(std::max(maxRefFrames, reorderFrames));
    return w.nal(0x67);
}

std::vector<uint8_t> H264Params::ppsNal() const {
    BitWriter w;
    w.ue(ppsId);
    w.ue(spsId);
    w.flag(cabac);
    w.flag(false);
    w.ue(0);
    w.ue(numRefL0 - 1);
    w.ue(numRefL1 - 1);
    w.flag(weightedPred);
    w.u(bipredIdc, 2);
    w.se(picInitQp - 26);
    w.se(0);
    w.se(chromaQpOffset);
    w.flag(deblockingControl);
    w.flag(constrainedIntra);
    w.flag(false);
    if (transform8x8 || ppsScaling.present() || secondChromaQpOffset != chromaQpOffset) {
        w.flag(transform8x8);
        w.flag(ppsScaling.present());
        if (ppsScaling.present()) writeScaling(w, ppsScaling, 6 + (transform8x8 ? (chroma != 3 ? 2 : 6) : 0));
        w.se(secondChromaQpOffset);
    }
    return w.nal(0x68);
}

std::optional<H264Params> readH264Params(const std::vector<uint8_t>& spsNal, const std::vector<uint8_t>& ppsNal) {
    if (spsNal.size() < 4 || ppsNal.size() < 2) return std::nullopt;
    H264Params p;
    auto rbsp = unescapeRbsp(spsNal.data() + 1, spsNal.size() - 1);
    BitReader br(rbsp);
    p.profile = br.u(8);
    br.skip(8);
    p.level = br.u(8);
    p.spsId = br.ue();
    if (h264SpsHasChromaInfo(p.profile)) {
        p.chroma = br.ue();
        if (p.chroma == 3) br.skip(1);
        p.bitDepth = br.ue() + 8;
        br.ue();
        br.skip(1);
        if (br.flag() && !readScalingLists(br, p.chroma != 3 ? 8 : 12, p.spsScaling)) return std::nullopt;
    }
    p.log2MaxFrameNum = br.ue() + 4;
    p.pocType = br.ue();
    if (p.pocType == 0) p.log2MaxPocLsb = br.ue() + 4;
    else if (p.pocType == 1) return std::nullopt;  // not written by the bodies this serves
    p.maxRefFrames = br.ue();
    br.skip(1);
    p.widthMbs = br.ue() + 1;
    p.heightMbs = br.ue() + 1;
    if (!br.flag()) return std::nullopt;  // interlaced
    if (!br.ok()) return std::nullopt;

    rbsp = unescapeRbsp(ppsNal.data() + 1, ppsNal.size() - 1);
    BitReader pr(rbsp);
    p.ppsId = pr.ue();
    if (pr.ue() != p.spsId) return std::nullopt;
    p.cabac = pr.flag();
    pr.skip(1);
    if (pr.ue() != 0) return std::nullopt;  // slice groups
    p.numRefL0 = pr.ue() + 1;
    p.numRefL1 = pr.ue() + 1;
    p.weightedPred = pr.flag();
    p.bipredIdc = pr.u(2);
    p.picInitQp = 26 + pr.se();
    pr.se();
    p.chromaQpOffset = p.secondChromaQpOffset = pr.se();
    p.deblockingControl = pr.flag();
    p.constrainedIntra = pr.flag();
    pr.skip(1);
    // More data before the stop bit: the High-profile extension.
    size_t stop = rbsp.size() * 8;
    while (stop > 0 && !((rbsp[(stop - 1) / 8] >> (7 - (stop - 1) % 8)) & 1)) --stop;
    if (stop > 0 && pr.position() < stop - 1) {
        p.transform8x8 = pr.flag();
        if (pr.flag() && !readScalingLists(pr, 6 + (p.transform8x8 ? (p.chroma != 3 ? 2 : 6) : 0), p.ppsScaling))
            return std::nullopt;
        p.secondChromaQpOffset = pr.se();
    }
    if (!pr.ok()) return std::nullopt;
    return p;
}

std::optional<SliceHeader> parseSliceHeader(const uint8_t* nal, size_t n, const H264Params& p) {
    if (n < 2) return std::nullopt;
    SliceHeader h;
    h.nalType = nal[0] & 31;
    h.refIdc = (nal[0] >> 5) & 3;
    // A slice header never comes near this length; the rest is slice data.
    auto rbsp = unescapeRbsp(nal + 1, std::min<size_t>(n - 1, 1024));
    BitReader br(rbsp);
    h.firstMb = br.ue();
    h.sliceType = br.ue();
    if (h.sliceType > 9) return std::nullopt;
    const uint32_t type = h.sliceType % 5;
    if (type > 2) return std::nullopt;  // SP/SI: not written by cameras
    const bool idr = h.nalType == 5, isP = type == 0, isB = type == 1;
    if (idr && type != 2) return std::nullopt;
    h.ppsId = br.ue();
    if (h.ppsId != p.ppsId) return std::nullopt;
    h.frameNum = br.u(int(p.log2MaxFrameNum));
    if (idr && h.frameNum != 0) return std::nullopt;
    if (idr) {
        h.idrPicId = br.ue();
        if (h.idrPicId > 65535) return std::nullopt;
    }
    if (p.pocType == 0) h.pocLsb = br.u(int(p.log2MaxPocLsb));
    h.numRefL0 = p.numRefL0;
    h.numRefL1 = p.numRefL1;
    if (isB) br.skip(1);  // direct_spatial_mv_pred_flag
    if (isP || isB) {
        h.overrideRefs = br.flag();
        if (h.overrideRefs) {
            h.numRefL0 = br.ue() + 1;
            if (isB) h.numRefL1 = br.ue() + 1;
        }
        if (h.numRefL0 > 32 || h.numRefL1 > 32) return std::nullopt;
        for (int list = 0; list < (isB ? 2 : 1); ++list) {
            if (!br.flag()) continue;
            for (int k = 0;; ++k) {
                uint32_t idc = br.ue();
                if (idc == 3) break;
                if (idc > 5 || k > 32 || !br.ok()) return std::nullopt;
                br.ue();
            }
        }
    }
    if ((p.weightedPred && isP) || (p.bipredIdc == 1 && isB)) {
        h.usesWeights = true;
        if (br.ue() > 7) return std::nullopt;
        if (p.chroma != 0 && br.ue() > 7) return std::nullopt;
        for (int list = 0; list < (isB ? 2 : 1); ++list) {
            uint32_t count = list == 0 ? h.numRefL0 : h.numRefL1;
            for (uint32_t i = 0; i < count && br.ok(); ++i) {
                if (br.flag()) {
                    int32_t wgt = br.se(), off = br.se();
                    if (wgt < -128 || wgt > 127 || off < -128 || off > 127) return std::nullopt;
                }
                if (p.chroma != 0 && br.flag())
                    for (int c = 0; c < 2; ++c) {
                        int32_t wgt = br.se(), off = br.se();
                        if (wgt < -128 || wgt > 127 || off < -128 || off > 127) return std::nullopt;
                    }
            }
        }
    }
    if (h.refIdc != 0) {
        if (idr) {
            br.skip(2);
        } else if (br.flag()) {
            for (int k = 0;; ++k) {
                uint32_t op = br.ue();
                if (op == 0) break;
                if (op > 6 || k > 64 || !br.ok()) return std::nullopt;
                if (op == 1 || op == 3) br.ue();
                if (op == 2) br.ue();
                if (op == 3 || op == 6) br.ue();
                if (op == 4) br.ue();
            }
        }
    }
    if (p.cabac && type != 2 && br.ue() > 2) return std::nullopt;
    h.qpDelta = br.se();
    if (h.qpDelta < -87 || h.qpDelta > 77) return std::nullopt;
    if (p.deblockingControl) {
        uint32_t disable = br.ue();
        if (disable > 2) return std::nullopt;
        if (disable != 1) {
            int32_t a = br.se(), b = br.se();
            if (a < -6 || a > 6 || b < -6 || b > 6) return std::nullopt;
        }
    }
    if (!br.ok()) return std::nullopt;
    if (p.cabac) {
        // cabac_alignment_one_bit up to the byte boundary, then the
        // arithmetic decoder's first nine bits.
        while (br.position() % 8 != 0)
            if (!br.flag()) return std::nullopt;
        uint32_t first9 = br.u(9);
        if (!br.ok() || first9 >= 510) return std::nullopt;
    } else {
        // Slice data follows: at least one more bit before the stop bit.
        if (br.u(1), !br.ok()) return std::nullopt;
    }
    return h;
}

}  // namespace tv
