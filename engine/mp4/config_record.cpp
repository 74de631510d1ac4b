#include "mp4/config_record.h"

#include "mp4/box_writer.h"
#include "codec/h264_params.h"
#include "base/bytes.h"
#include "codec/nal.h"

#include <algorithm>

namespace tv {
namespace {

// A parameter set larger than this is not one (an SPS with every scaling
// list and a full VUI stays well under a kilobyte).
constexpr uint32_t kMaxParameterSet = 64 * 1024;


std::optional<SpsSummary> summarizeH264(const std::vector<uint8_t>& rbsp) {
    SpsSummary s;
    BitReader br(rbsp);
    s.profile = br.u(8);
    s.compatibility = br.u(8);
    s.level = br.u(8);
    br.ue();
    bool separate = false;
    if (h264SpsHasChromaInfo(s.profile)) {
        s.chromaFormat = br.ue();
        if (s.chromaFormat == 3) separate = br.flag();
        s.bitDepthLuma = br.ue() + 8;
        s.bitDepthChroma = br.ue() + 8;
        br.skip(1);
        ScalingLists lists;
        if (br.flag() && !readScalingLists(br, s.chromaFormat != 3 ? 8 : 12, lists)) return std::nullopt;
    }
    br.ue();  // log2_max_frame_num_minus4
    uint32_t pocType = br.ue();
    if (pocType == 0) {
        br.ue();
    } else if (pocType == 1) {
        br.skip(1);
        br.se();
        br.se();
        uint32_t n = br.ue();
        if (n > 255) return std::nullopt;
        for (uint32_t i = 0; i < n; ++i) br.se();
    }
    br.ue();
    br.skip(1);
    uint32_t wMbs = br.ue() + 1, hUnits = br.ue() + 1;
    bool frameMbsOnly = br.flag();
    if (!frameMbsOnly) br.skip(1);
    br.skip(1);
    uint32_t cl = 0, cr = 0, ct = 0, cb = 0;
    if (br.flag()) {
        cl = br.ue(); cr = br.ue(); ct = br.ue(); cb = br.ue();
    }
    if (!br.ok() || s.chromaFormat > 3 || s.bitDepthLuma > 14 || s.bitDepthChroma > 14 ||
        wMbs > 1024 || hUnits > 1024)
        return std::nullopt;
    const uint32_t chroma = separate ? 0 : s.chromaFormat;
    const uint32_t unitX = chroma == 0 ? 1 : (chroma == 3 ? 1 : 2);
    const uint32_t unitY = (chroma == 1 ? 2 : 1) * (frameMbsOnly ? 1 : 2);
    const uint32_t w = wMbs * 16, h = hUnits * 16 * (frameMbsOnly ? 1 : 2);
    if (unitX * (cl + cr) >= w || unitY * (ct + cb) >= h) return std::nullopt;
    s.width = w - unitX * (cl + cr);
    s.height = h - unitY * (ct + cb);
    return s;
}

std::optional<SpsSummary> summarizeH265(const std::vector<uint8_t>& rbsp) {
    SpsSummary s;
    if (rbsp.size() < 13) return std::nullopt;
    BitReader br(rbsp);
    br.skip(4);
    s.maxSubLayers = br.u(3) + 1;
    s.temporalIdNesting = br.flag();
    s.profileTierLevel.assign(rbsp.begin() + 1, rbsp.begin() + 13);
    br.skip(96);
    const uint32_t subLayers = s.maxSubLayers - 1;
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (uint32_t i = 0; i < subLayers; ++i) {
        profilePresent[i] = br.flag();
        levelPresent[i] = br.flag();
    }
    if (subLayers > 0)
        for (uint32_t i = subLayers; i < 8; ++i) br.skip(2);
    for (uint32_t i = 0; i < subLayers; ++i) {
        if (profilePresent[i]) br.skip(88);
        if (levelPresent[i]) br.skip(8);
    }
    br.ue();  // sps_seq_parameter_set_id
    s.chromaFormat = br.ue();
    if (s.chromaFormat == 3) br.skip(1);
    uint32_t w = br.ue(), h = br.ue();
    uint32_t cl = 0, cr = 0, ct = 0, cb = 0;
    if (br.flag()) {
        cl = br.ue(); cr = br.ue(); ct = br.ue(); cb = br.ue();
    }
    s.bitDepthLuma = br.ue() + 8;
    s.bitDepthChroma = br.ue() + 8;
    const uint32_t subW = (s.chromaFormat == 1 || s.chromaFormat == 2) ? 2 : 1;
    const uint32_t subH = s.chromaFormat == 1 ? 2 : 1;
    if (!br.ok() || s.chromaFormat > 3 || w == 0 || h == 0 || w > 16384 || h > 16384 ||
        subW * (cl + cr) >= w || subH * (ct + cb) >= h || s.bitDepthLuma > 16)
        return std::nullopt;
    s.width = w - subW * (cl + cr);
    s.height = h - subH * (ct + cb);
    s.profile = rbsp[1] & 31;
    s.level = rbsp[12];
    return s;
}

int typeOf(VideoCodec codec, const std::vector<uint8_t>& nal) {
    auto h = parseNalHeader(codec, nal.data(), nal.size());
    return h ? h->type : -1;
}

}  // namespace

std::optional<SpsSummary> summarizeSps(VideoCodec codec, const std::vector<uint8_t>& nal) {
    const size_t hs = size_t(nalHeaderSize(codec));
    if (nal.size() <= hs || typeOf(codec, nal) != (codec == VideoCodec::H264 ? 7 : 33))
        return std::nullopt;
    auto rbsp = unescapeRbsp(nal.data() + hs, nal.size() - hs);
    return codec == VideoCodec::H264 ? summarizeH264(rbsp) : summarizeH265(rbsp);
}

std::optional<std::vector<uint8_t>> buildCodecConfig(VideoCodec codec,
                                                     const std::vector<std::vector<uint8_t>>& nals,
                                                     SpsSummary* summary) {
    std::vector<const std::vector<uint8_t>*> vps, sps, pps;
    for (const auto& n : nals) {
        int t = typeOf(codec, n);
        if (n.size() > 0xFFFF) continue;
        if (codec == VideoCodec::H264) {
            if (t == 7) sps.push_back(&n);
            if (t == 8) pps.push_back(&n);
        } else {
            if (t == 32) vps.push_back(&n);
            if (t == 33) sps.push_back(&n);
            if (t == 34) pps.push_back(&n);
        }
    }
    if (sps.empty() || pps.empty() || (codec == VideoCodec::H265 && vps.empty())) return std::nullopt;
    if (sps.size() > 31 || pps.size() > 255) return std::nullopt;
    auto s = summarizeSps(codec, *sps.front());
    if (!s) return std::nullopt;
    if (summary) *summary = *s;

    std::vector<uint8_t> out;
    BoxWriter w(out);
    auto put = [&](const std::vector<uint8_t>& nal) {
        putBe16(out, uint16_t(nal.size()));
        w.raw(nal);
    };
    if (codec == VideoCodec::H264) {
        w.begin(fourcc("avcC"));
        out.push_back(1);
        out.push_back(uint8_t(s->profile));
        out.push_back(uint8_t(s->compatibility));
        out.push_back(uint8_t(s->level));
        out.push_back(0xFF);  // four-byte NAL lengths
        out.push_back(uint8_t(0xE0 | sps.size()));
        for (auto* n : sps) put(*n);
        out.push_back(uint8_t(pps.size()));
        for (auto* n : pps) put(*n);
        if (s->profile == 100 || s->profile == 110 || s->profile == 122 || s->profile == 144) {
            out.push_back(uint8_t(0xFC | s->chromaFormat));
            out.push_back(uint8_t(0xF8 | (s->bitDepthLuma - 8)));
            out.push_back(uint8_t(0xF8 | (s->bitDepthChroma - 8)));
            out.push_back(0);
        }
        w.end();
        return out;
    }
    w.begin(fourcc("hvcC"));
    out.push_back(1);
    w.raw(s->profileTierLevel);
    putBe16(out, 0xF000);  // min_spatial_segmentation_idc unknown
    out.push_back(0xFC);   // parallelism type unknown
    out.push_back(uint8_t(0xFC | s->chromaFormat));
    out.push_back(uint8_t(0xF8 | (s->bitDepthLuma - 8)));
    out.push_back(uint8_t(0xF8 | (s->bitDepthChroma - 8)));
    putBe16(out, 0);       // average frame rate unknown
    out.push_back(uint8_t((std::min<uint32_t>(s->maxSubLayers, 7) << 3) |
                          (s->temporalIdNesting ? 4 : 0) | 3));
    out.push_back(3);
    for (auto* list : {&vps, &sps, &pps}) {
        out.push_back(uint8_t(0x80 | typeOf(codec, *list->front())));
        putBe16(out, uint16_t(list->size()));
        for (auto* n : *list) put(*n);
    }
    w.end();
    return out;
}

}  // namespace tv
