#include "codec/h264_sps.h"

#include "base/bytes.h"
#include "codec/nal_header.h"
#include "codec/rbsp_writer.h"

#include <algorithm>

namespace tv {
namespace {

bool skipHrd(BitReader& br) {
    const uint32_t cpbCount = br.ue() + 1;
    if (cpbCount > 32) return false;
    br.skip(8);  // bit_rate_scale, cpb_size_scale
    for (uint32_t i = 0; i < cpbCount && br.ok(); ++i) {
        br.ue();
        br.ue();
        br.skip(1);
    }
    br.skip(20);  // four delay and offset lengths
    return br.ok();
}

std::optional<H264Sps::Vui> readVui(BitReader& br) {
    H264Sps::Vui v;
    if (br.flag() && br.u(8) == 255) br.skip(32);  // aspect ratio (extended SAR)
    if (br.flag()) br.skip(1);                     // overscan
    if (br.flag()) {                               // video signal type
        br.skip(4);
        if (br.flag()) br.skip(24);
    }
    if (br.flag()) {  // chroma sample location
        br.ue();
        br.ue();
    }
    if (br.flag()) {
        v.numUnitsInTick = br.u(32);
        v.timeScale = br.u(32);
        v.fixedFrameRate = br.flag();
        if (v.numUnitsInTick == 0 || v.timeScale == 0) return std::nullopt;
    }
    const bool nalHrd = br.flag() && skipHrd(br);
    const bool vclHrd = br.flag() && skipHrd(br);
    if (nalHrd || vclHrd) br.skip(1);  // low_delay_hrd_flag
    br.skip(1);                        // pic_struct_present_flag
    v.restriction = br.flag();
    if (v.restriction) {
        br.skip(1);
        for (int i = 0; i < 4; ++i) br.ue();
        v.reorderFrames = br.ue();
        v.maxDecFrameBuffering = br.ue();
        if (v.reorderFrames > 16 || v.maxDecFrameBuffering > 16) return std::nullopt;
    }
    if (!br.ok()) return std::nullopt;
    return v;
}

void writeVui(RbspWriter& w, const H264Sps::Vui& v) {
    w.u(0, 4);  // no aspect ratio, overscan, video signal or chroma location
    w.flag(v.timeScale != 0);
    if (v.timeScale) {
        w.u(v.numUnitsInTick, 32);
        w.u(v.timeScale, 32);
        w.flag(v.fixedFrameRate);
    }
    w.u(0, 3);  // no HRD, no pic_struct
    w.flag(v.restriction);
    if (v.restriction) {
        w.flag(true);  // motion vectors over picture boundaries
        w.ue(0); w.ue(0); w.ue(16); w.ue(16);
        w.ue(v.reorderFrames);
        w.ue(v.maxDecFrameBuffering);
    }
}

bool readPictureOrder(BitReader& br, H264Sps& s) {
    s.log2MaxFrameNum = br.ue() + 4;
    s.pocType = br.ue();
    if (s.log2MaxFrameNum > 16 || s.pocType > 2) return false;
    if (s.pocType == 0) {
        s.log2MaxPocLsb = br.ue() + 4;
        return s.log2MaxPocLsb <= 16;
    }
    if (s.pocType == 1) {
        s.deltaPicOrderAlwaysZero = br.flag();
        s.offsetForNonRefPic = br.se();
        s.offsetForTopToBottom = br.se();
        const uint32_t n = br.ue();
        if (n > 255) return false;
        for (uint32_t i = 0; i < n && br.ok(); ++i) s.offsetForRefFrame.push_back(br.se());
    }
    return true;
}

void writePictureOrder(RbspWriter& w, const H264Sps& s) {
    w.ue(s.log2MaxFrameNum - 4);
    w.ue(s.pocType);
    if (s.pocType == 0) w.ue(s.log2MaxPocLsb - 4);
    if (s.pocType == 1) {
        w.flag(s.deltaPicOrderAlwaysZero);
        w.se(s.offsetForNonRefPic);
        w.se(s.offsetForTopToBottom);
        w.ue(uint32_t(s.offsetForRefFrame.size()));
        for (int32_t o : s.offsetForRefFrame) w.se(o);
    }
}

uint32_t cropUnitX(const H264Sps& s) { return s.chromaArrayType() == 1 || s.chromaArrayType() == 2 ? 2 : 1; }
uint32_t cropUnitY(const H264Sps& s) {
    return (s.chromaArrayType() == 1 ? 2 : 1) * (s.frameMbsOnly ? 1 : 2);
}

}  // namespace

std::optional<H264Sps> H264Sps::parse(const uint8_t* nal, size_t n) {
    if (n < 4 || (nal[0] & 0x1f) != 7) return std::nullopt;
    const auto rbsp = unescapeRbsp(nal + 1, n - 1);
    BitReader br(rbsp);
    H264Sps s;
    s.profile = br.u(8);
    s.constraints = br.u(8);
    s.level = br.u(8);
    s.id = br.ue();
    if (h264SpsHasChromaInfo(s.profile)) {
        s.chromaFormat = br.ue();
        if (s.chromaFormat == 3) s.separateColourPlane = br.flag();
        s.bitDepthLuma = br.ue() + 8;
        s.bitDepthChroma = br.ue() + 8;
        s.transformBypass = br.flag();
        if (br.flag()) {
            auto lists = ScalingLists::parse(br, s.chromaFormat != 3 ? 8 : 12);
            if (!lists) return std::nullopt;
            s.scaling = std::move(*lists);
        }
    }
    if (s.id > 31 || s.chromaFormat > 3 || s.bitDepthLuma > 14 || s.bitDepthChroma > 14 ||
        !readPictureOrder(br, s))
        return std::nullopt;
    s.maxRefFrames = br.ue();
    s.gapsAllowed = br.flag();
    s.widthMbs = br.ue() + 1;
    s.heightMapUnits = br.ue() + 1;
    s.frameMbsOnly = br.flag();
    if (!s.frameMbsOnly) s.mbaff = br.flag();
    s.direct8x8 = br.flag();
    if (br.flag()) {
        s.cropLeft = br.ue(); s.cropRight = br.ue(); s.cropTop = br.ue(); s.cropBottom = br.ue();
    }
    if (!br.ok() || s.maxRefFrames > 16 || s.widthMbs > 1024 || s.heightMapUnits > 1024) return std::nullopt;
    const uint64_t w = uint64_t(s.widthMbs) * 16, h = uint64_t(s.heightMapUnits) * 16 * (s.frameMbsOnly ? 1 : 2);
    if (uint64_t(cropUnitX(s)) * (uint64_t(s.cropLeft) + s.cropRight) >= w ||
        uint64_t(cropUnitY(s)) * (uint64_t(s.cropTop) + s.cropBottom) >= h)
        return std::nullopt;
    if (br.flag()) s.vui = readVui(br);
    return s;
}

std::vector<uint8_t> H264Sps::write() const {
    RbspWriter w;
    w.u(profile, 8);
    w.u(constraints, 8);
    w.u(level, 8);
    w.ue(id);
    if (h264SpsHasChromaInfo(profile)) {
        w.ue(chromaFormat);
        if (chromaFormat == 3) w.flag(separateColourPlane);
        w.ue(bitDepthLuma - 8);
        w.ue(bitDepthChroma - 8);
        w.flag(transformBypass);
        w.flag(scaling.present());
        if (scaling.present()) scaling.write(w, chromaFormat != 3 ? 8 : 12);
    }
    writePictureOrder(w, *this);
    w.ue(maxRefFrames);
    w.flag(gapsAllowed);
    w.ue(widthMbs - 1);
    w.ue(heightMapUnits - 1);
    w.flag(frameMbsOnly);
    if (!frameMbsOnly) w.flag(mbaff);
    w.flag(direct8x8);
    const bool crop = cropLeft || cropRight || cropTop || cropBottom;
    w.flag(crop);
    if (crop) {
        w.ue(cropLeft); w.ue(cropRight); w.ue(cropTop); w.ue(cropBottom);
    }
    w.flag(vui.has_value());
    if (vui) writeVui(w, *vui);
    return w.nal({0x67});
}

uint32_t H264Sps::width() const { return widthMbs * 16 - cropUnitX(*this) * (cropLeft + cropRight); }

uint32_t H264Sps::height() const {
    return heightMapUnits * 16 * (frameMbsOnly ? 1 : 2) - cropUnitY(*this) * (cropTop + cropBottom);
}

void H264Sps::setFormat(uint32_t chroma, uint32_t depth) {
    const bool sized = widthMbs > 0;
    const uint32_t w = sized ? width() : 0, h = sized ? height() : 0;
    chromaFormat = chroma;
    bitDepthLuma = bitDepthChroma = depth;
    profile = chroma == 2 ? 122 : (depth > 8 ? 110 : 100);
    if (sized) setFrameSize(w, h);
}

void H264Sps::setFrameSize(uint32_t w, uint32_t h) {
    frameMbsOnly = true;
    widthMbs = (w + 15) / 16;
    heightMapUnits = (h + 15) / 16;
    cropLeft = cropTop = 0;
    cropRight = (widthMbs * 16 - w) / cropUnitX(*this);
    cropBottom = (heightMapUnits * 16 - h) / cropUnitY(*this);
}

void H264Sps::setTiming(uint32_t timescale, uint32_t duration, uint32_t reorder) {
    Vui v = vui.value_or(Vui{});
    if (timescale && duration) {
        v.numUnitsInTick = duration;
        v.timeScale = timescale * 2;
        v.fixedFrameRate = true;
    }
    v.restriction = true;
    v.reorderFrames = reorder;
    v.maxDecFrameBuffering = std::max(maxRefFrames, reorder);
    vui = v;
}

}  // namespace tv
