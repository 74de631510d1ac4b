#include "codec/param_sets.h"

#include "codec/slice_header.h"

namespace tv {

ParameterSets ParameterSets::fromConfig(VideoCodec codec, const std::vector<std::vector<uint8_t>>& nals) {
    ParameterSets ps;
    ps.codec_ = codec;
    // Parameter sets may come in any order: SPS first.
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& nal : nals) {
            auto h = parseNalHeader(codec, nal.data(), nal.size());
            if (!h) continue;
            const uint8_t* p = nal.data();
            const size_t n = nal.size();
            if (codec == VideoCodec::H264) {
                if (pass == 0 && h->type == 7)
                    if (auto s = H264Sps::parse(p, n)) ps.h264Sps_[s->id] = *s;
                if (pass == 1 && h->type == 8)
                    if (auto q = H264Pps::parse(p, n, ps.h264Sps_)) ps.h264Pps_[q->id] = *q;
            } else {
                if (pass == 0 && h->type == 33)
                    if (auto s = H265Sps::parse(p, n)) ps.h265Sps_[s->id] = *s;
                if (pass == 1 && h->type == 34)
                    if (auto q = H265Pps::parse(p, n, ps.h265Sps_)) ps.h265Pps_[q->id] = *q;
            }
        }
    }
    return ps;
}

const H264Sps* ParameterSets::h264SpsFor(uint32_t ppsId) const {
    auto p = h264Pps_.find(ppsId);
    if (p == h264Pps_.end()) return nullptr;
    auto s = h264Sps_.find(p->second.spsId);
    return s == h264Sps_.end() ? nullptr : &s->second;
}

const H265Sps* ParameterSets::h265SpsFor(uint32_t ppsId) const {
    auto p = h265Pps_.find(ppsId);
    if (p == h265Pps_.end()) return nullptr;
    auto s = h265Sps_.find(p->second.spsId);
    return s == h265Sps_.end() ? nullptr : &s->second;
}

std::optional<SliceInfo> ParameterSets::parseH265(const uint8_t* nal, size_t n, bool withOrder) const {
    auto id = H265SliceHeader::ppsIdOf(nal, n);
    if (!id) return std::nullopt;
    const H265Sps* sps = h265SpsFor(*id);
    if (!sps) {
        // The first slice of a picture carries no address to read.
        auto nh = parseNalHeader(VideoCodec::H265, nal, n);
        if (withOrder || !nh || !(nal[2] & 0x80)) return std::nullopt;
        SliceInfo s;
        s.nal = *nh;
        s.ppsId = *id;
        return s;
    }
    auto h = H265SliceHeader::parse(nal, n, *sps, h265Pps_.at(*id), withOrder);
    if (!h) return std::nullopt;
    SliceInfo s;
    s.nal = h->nal;
    s.firstInPicture = h->firstInPicture;
    s.address = h->address;
    s.ppsId = h->ppsId;
    s.pocLsb = h->pocLsb;
    s.predicted = h->sliceType < 2;
    return s;
}

std::optional<SliceInfo> ParameterSets::parseSliceStart(const uint8_t* nal, size_t n) const {
    if (codec_ == VideoCodec::H265) return parseH265(nal, n, false);
    auto nh = parseNalHeader(codec_, nal, n);
    auto mb = H264SliceHeader::firstMbOf(nal, n);
    if (!nh || !isSlice(codec_, nh->type) || !mb) return std::nullopt;
    SliceInfo s;
    s.nal = *nh;
    s.address = *mb;
    s.firstInPicture = *mb == 0;
    return s;
}

std::optional<SliceInfo> ParameterSets::parseSlice(const uint8_t* nal, size_t n) const {
    if (codec_ == VideoCodec::H265) return parseH265(nal, n, true);
    auto id = H264SliceHeader::ppsIdOf(nal, n);
    const H264Sps* sps = id ? h264SpsFor(*id) : nullptr;
    if (!sps) return std::nullopt;
    auto h = H264SliceHeader::parse(nal, n, *sps, h264Pps_.at(*id), H264SliceHeader::Extent::PictureOrder);
    if (!h) return std::nullopt;
    SliceInfo s;
    s.nal = h->nal;
    s.address = h->firstMb;
    s.firstInPicture = h->firstMb == 0;
    s.frameNum = h->frameNum;
    s.predicted = h->kind() != 2;
    s.pocLsb = h->pocLsb;
    s.deltaPocBottom = h->deltaPocBottom;
    s.deltaPoc[0] = h->deltaPoc[0];
    s.deltaPoc[1] = h->deltaPoc[1];
    s.fieldPic = h->fieldPic;
    s.bottomField = h->bottomField;
    s.ppsId = h->ppsId;
    return s;
}

}  // namespace tv
