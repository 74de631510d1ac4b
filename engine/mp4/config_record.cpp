#include "mp4/config_record.h"

#include "mp4/box_writer.h"
#include "codec/h264_sps.h"
#include "codec/h265_sets.h"
#include "base/bytes.h"
#include "codec/nal.h"

#include <algorithm>

namespace tv {
namespace {

std::optional<SpsSummary> summarizeH264(const std::vector<uint8_t>& nal) {
    auto sps = H264Sps::parse(nal.data(), nal.size());
    if (!sps) return std::nullopt;
    SpsSummary s;
    s.profile = sps->profile;
    s.compatibility = sps->constraints;
    s.level = sps->level;
    s.chromaFormat = sps->chromaFormat;
    s.bitDepthLuma = sps->bitDepthLuma;
    s.bitDepthChroma = sps->bitDepthChroma;
    s.width = sps->width();
    s.height = sps->height();
    return s;
}

std::optional<SpsSummary> summarizeH265(const std::vector<uint8_t>& nal) {
    auto sps = H265Sps::parse(nal.data(), nal.size());
    if (!sps) return std::nullopt;
    SpsSummary s;
    s.maxSubLayers = sps->maxSubLayers;
    s.temporalIdNesting = sps->temporalIdNesting;
    s.profileTierLevel = sps->profileTierLevel;
    s.chromaFormat = sps->chromaFormat;
    s.bitDepthLuma = sps->bitDepthLuma;
    s.bitDepthChroma = sps->bitDepthChroma;
    s.width = sps->width;
    s.height = sps->height;
    s.profile = sps->profile();
    s.level = sps->level();
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
    return codec == VideoCodec::H264 ? summarizeH264(nal) : summarizeH265(nal);
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
