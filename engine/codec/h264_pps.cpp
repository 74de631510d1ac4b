#include "codec/h264_pps.h"

#include "base/bytes.h"
#include "codec/rbsp_writer.h"

namespace tv {
namespace {

// more_rbsp_data(): anything but the stop bit and its zeros left.
bool moreData(const std::vector<uint8_t>& rbsp, size_t position) {
    size_t stop = rbsp.size() * 8;
    while (stop > 0 && !((rbsp[(stop - 1) / 8] >> (7 - (stop - 1) % 8)) & 1)) --stop;
    return stop > 0 && position < stop - 1;
}

size_t listCount(bool transform8x8, uint32_t chromaFormat) {
    return 6 + (transform8x8 ? (chromaFormat != 3 ? 2 : 6) : 0);
}

}  // namespace

std::optional<H264Pps> H264Pps::parse(const uint8_t* nal, size_t n, const std::map<uint32_t, H264Sps>& spsById) {
    if (n < 2 || (nal[0] & 0x1f) != 8) return std::nullopt;
    const auto rbsp = unescapeRbsp(nal + 1, n - 1);
    BitReader br(rbsp);
    H264Pps p;
    p.id = br.ue();
    p.spsId = br.ue();
    const auto sps = spsById.find(p.spsId);
    if (p.id > 255 || sps == spsById.end()) return std::nullopt;
    p.cabac = br.flag();
    p.bottomFieldPicOrderPresent = br.flag();
    if (br.ue() != 0) return std::nullopt;  // slice groups
    p.numRefL0 = br.ue() + 1;
    p.numRefL1 = br.ue() + 1;
    p.weightedPred = br.flag();
    p.bipredIdc = br.u(2);
    const int32_t lowest = -6 * int32_t(sps->second.bitDepthLuma - 8);
    p.picInitQp = 26 + br.se();
    p.picInitQs = 26 + br.se();
    p.chromaQpOffset = p.secondChromaQpOffset = br.se();
    p.deblockingControl = br.flag();
    p.constrainedIntra = br.flag();
    p.redundantPicCnt = br.flag();
    if (moreData(rbsp, br.position())) {
        p.transform8x8 = br.flag();
        if (br.flag()) {
            auto lists = ScalingLists::parse(br, int(listCount(p.transform8x8, sps->second.chromaFormat)));
            if (!lists) return std::nullopt;
            p.scaling = std::move(*lists);
        }
        p.secondChromaQpOffset = br.se();
    }
    if (!br.ok() || p.numRefL0 > 32 || p.numRefL1 > 32 || p.bipredIdc > 2 || p.picInitQp < lowest ||
        p.picInitQp > 51 || p.picInitQs < 0 || p.picInitQs > 51 || p.chromaQpOffset < -12 ||
        p.chromaQpOffset > 12 || p.secondChromaQpOffset < -12 || p.secondChromaQpOffset > 12)
        return std::nullopt;
    return p;
}

std::vector<uint8_t> H264Pps::write(uint32_t chromaFormat) const {
    RbspWriter w;
    w.ue(id);
    w.ue(spsId);
    w.flag(cabac);
    w.flag(bottomFieldPicOrderPresent);
    w.ue(0);
    w.ue(numRefL0 - 1);
    w.ue(numRefL1 - 1);
    w.flag(weightedPred);
    w.u(bipredIdc, 2);
    w.se(picInitQp - 26);
    w.se(picInitQs - 26);
    w.se(chromaQpOffset);
    w.flag(deblockingControl);
    w.flag(constrainedIntra);
    w.flag(redundantPicCnt);
    if (transform8x8 || scaling.present() || secondChromaQpOffset != chromaQpOffset) {
        w.flag(transform8x8);
        w.flag(scaling.present());
        if (scaling.present()) scaling.write(w, listCount(transform8x8, chromaFormat));
        w.se(secondChromaQpOffset);
    }
    return w.nal({0x68});
}

}  // namespace tv
