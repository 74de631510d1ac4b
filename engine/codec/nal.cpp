#include "codec/nal.h"

#include "codec/param_sets.h"

#include "base/bytes.h"

#include <algorithm>

namespace tv {

bool hasRecoveryPoint(const uint8_t* nal, size_t n) {
    auto rbsp = unescapeRbsp(nal + 1, n > 0 ? n - 1 : 0);
    size_t i = 0;
    while (i + 2 <= rbsp.size() && rbsp[i] != 0x80) {
        uint32_t type = 0, size = 0;
        while (i < rbsp.size() && rbsp[i] == 0xff) type += 255, ++i;
        if (i >= rbsp.size()) return false;
        type += rbsp[i++];
        while (i < rbsp.size() && rbsp[i] == 0xff) size += 255, ++i;
        if (i >= rbsp.size()) return false;
        size += rbsp[i++];
        if (type == 6) return true;
        i += size;
    }
    return false;
}

int64_t pocMsb(int64_t lsb, int64_t prevLsb, int64_t prevMsb, uint32_t log2MaxLsb) {
    const int64_t maxLsb = int64_t(1) << log2MaxLsb;
    if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2) return prevMsb + maxLsb;
    if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2) return prevMsb - maxLsb;
    return prevMsb;
}

uint32_t reorderDepth(const std::vector<int64_t>& pocs) {
    uint32_t depth = 0;
    for (size_t i = 0; i < pocs.size(); ++i) {
        uint32_t later = 0;
        for (size_t j = 0; j < i; ++j) later += pocs[j] > pocs[i];
        depth = std::max(depth, later);
    }
    return depth;
}

std::optional<int64_t> PocCounter::next(const SliceInfo& s, bool* newPeriod) {
    *newPeriod = false;
    if (ps_.codec() == VideoCodec::H265) {
        const H265Sps* sps = ps_.h265SpsFor(s.ppsId);
        if (!sps) return std::nullopt;
        return h265(s, sps->log2MaxPocLsb, newPeriod);
    }
    const H264Sps* sps = ps_.h264SpsFor(s.ppsId);
    if (!sps) return std::nullopt;
    return h264(s, *sps, newPeriod);
}

int64_t PocCounter::h265(const SliceInfo& s, uint32_t log2MaxLsb, bool* newPeriod) {
    const int type = s.nal.type;
    const bool irap = type >= 16 && type <= 23;
    const bool idr = type == 19 || type == 20;
    const bool noRaslOutput = idr || (type >= 16 && type <= 18) || (irap && !started_);
    const int64_t msb = irap && noRaslOutput ? 0 : pocMsb(s.pocLsb, prevLsb_, prevMsb_, log2MaxLsb);
    if ((irap && noRaslOutput) || !started_) *newPeriod = true;
    started_ = true;
    // Only TemporalId 0 pictures that are neither RASL/RADL nor sub-layer
    // non-reference pictures anchor the next msb derivation.
    const bool subLayerNonRef = type <= 14 && type % 2 == 0;
    if (s.nal.tid == 0 && !(type >= 6 && type <= 9) && !subLayerNonRef) {
        prevMsb_ = msb;
        prevLsb_ = idr ? 0 : s.pocLsb;
    }
    return msb + (idr ? 0 : s.pocLsb);
}

int64_t PocCounter::h264(const SliceInfo& s, const H264Sps& sps, bool* newPeriod) {
    const bool idr = s.nal.type == 5;
    if (idr || !started_) *newPeriod = true;
    if (idr) {
        prevMsb_ = 0;
        prevLsb_ = 0;
        prevFrameNumOffset_ = 0;
        prevFrameNum_ = 0;
    }
    started_ = true;
    if (sps.pocType != 0) return h264FromFrameNum(s, sps, idr);
    const int64_t msb = pocMsb(s.pocLsb, prevLsb_, prevMsb_, sps.log2MaxPocLsb);
    const int64_t top = msb + s.pocLsb;
    const int64_t bottom = s.fieldPic ? top : top + s.deltaPocBottom;
    if (s.nal.refIdc != 0) {
        prevMsb_ = msb;
        prevLsb_ = s.pocLsb;
    }
    return std::min(top, bottom);
}

// Picture order count types 1 and 2 (8.2.1.2, 8.2.1.3).
int64_t PocCounter::h264FromFrameNum(const SliceInfo& s, const H264Sps& sps, bool idr) {
    const int64_t maxFrameNum = int64_t(1) << sps.log2MaxFrameNum;
    int64_t frameNumOffset = 0;
    if (!idr)
        frameNumOffset = prevFrameNum_ > s.frameNum ? prevFrameNumOffset_ + maxFrameNum : prevFrameNumOffset_;
    prevFrameNumOffset_ = frameNumOffset;
    prevFrameNum_ = s.frameNum;
    if (sps.pocType == 2) {
        if (idr) return 0;
        return s.nal.refIdc == 0 ? 2 * (frameNumOffset + s.frameNum) - 1 : 2 * (frameNumOffset + s.frameNum);
    }
    const auto& cycle = sps.offsetForRefFrame;
    int64_t absFrameNum = cycle.empty() ? 0 : frameNumOffset + s.frameNum;
    if (s.nal.refIdc == 0 && absFrameNum > 0) --absFrameNum;
    int64_t expected = 0;
    if (absFrameNum > 0) {
        int64_t perCycle = 0;
        for (int32_t o : cycle) perCycle += o;
        const int64_t n = int64_t(cycle.size());
        const int64_t cycleCnt = (absFrameNum - 1) / n, inCycle = (absFrameNum - 1) % n;
        expected = cycleCnt * perCycle;
        for (int64_t i = 0; i <= inCycle; ++i) expected += cycle[size_t(i)];
    }
    if (s.nal.refIdc == 0) expected += sps.offsetForNonRefPic;
    const int64_t top = expected + s.deltaPoc[0];
    const int64_t bottom = s.fieldPic ? top : top + sps.offsetForTopToBottom + s.deltaPoc[1];
    return std::min(top, bottom);
}

}  // namespace tv
