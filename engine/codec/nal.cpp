#include "codec/nal.h"

#include "codec/param_sets.h"

#include "base/bytes.h"

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

std::optional<int64_t> PocCounter::next(const SliceInfo& s, bool* newPeriod) {
    *newPeriod = false;
    const ParameterSets::Sps* sps = ps_.spsFor(s.ppsId);
    if (!sps) return std::nullopt;
    const int type = s.nal.type;

    if (ps_.codec() == VideoCodec::H265) {
        const int64_t maxLsb = int64_t(1) << sps->log2MaxPocLsb;
        bool irap = type >= 16 && type <= 23;
        bool idr = type == 19 || type == 20;
        bool noRaslOutput = idr || (type >= 16 && type <= 18) || (irap && !started_);
        int64_t msb = 0;
        if (!(irap && noRaslOutput)) {
            int64_t lsb = s.pocLsb, prevLsb = prevLsb_;
            if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2) msb = prevMsb_ + maxLsb;
            else if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2) msb = prevMsb_ - maxLsb;
            else msb = prevMsb_;
        }
        if (irap && noRaslOutput) *newPeriod = true;
        if (!started_) *newPeriod = true;
        started_ = true;
        int64_t poc = msb + (idr ? 0 : s.pocLsb);
        // Only TemporalId 0 pictures that are neither RASL/RADL nor sub-layer
        // non-reference pictures anchor the next msb derivation.
        bool subLayerNonRef = type <= 14 && type % 2 == 0;
        if (s.nal.tid == 0 && !(type >= 6 && type <= 9) && !subLayerNonRef) {
            prevMsb_ = msb;
            prevLsb_ = idr ? 0 : s.pocLsb;
        }
        return poc;
    }

    const bool idr = type == 5;
    if (idr || !started_) *newPeriod = true;
    if (idr) {
        prevMsb_ = 0;
        prevLsb_ = 0;
        prevFrameNumOffset_ = 0;
        prevFrameNum_ = 0;
    }
    started_ = true;
    const int64_t maxFrameNum = int64_t(1) << sps->log2MaxFrameNum;
    int64_t top = 0, bottom = 0;
    if (sps->pocType == 0) {
        const int64_t maxLsb = int64_t(1) << sps->log2MaxPocLsb;
        int64_t lsb = s.pocLsb, prevLsb = prevLsb_, msb;
        if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2) msb = prevMsb_ + maxLsb;
        else if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2) msb = prevMsb_ - maxLsb;
        else msb = prevMsb_;
        top = msb + lsb;
        bottom = s.fieldPic ? top : top + s.deltaPocBottom;
        if (s.nal.refIdc != 0) {
            prevMsb_ = msb;
            prevLsb_ = s.pocLsb;
        }
    } else {
        int64_t frameNumOffset = 0;
        if (!idr)
            frameNumOffset = prevFrameNum_ > s.frameNum ? prevFrameNumOffset_ + maxFrameNum
                                                         : prevFrameNumOffset_;
        if (sps->pocType == 1) {
            const auto& cycle = sps->offsetForRefFrame;
            int64_t absFrameNum = cycle.empty() ? 0 : frameNumOffset + s.frameNum;
            if (s.nal.refIdc == 0 && absFrameNum > 0) --absFrameNum;
            int64_t expected = 0;
            if (absFrameNum > 0) {
                int64_t perCycle = 0;
                for (int32_t o : cycle) perCycle += o;
                int64_t n = int64_t(cycle.size());
                int64_t cycleCnt = (absFrameNum - 1) / n, inCycle = (absFrameNum - 1) % n;
                expected = cycleCnt * perCycle;
                for (int64_t i = 0; i <= inCycle; ++i) expected += cycle[size_t(i)];
            }
            if (s.nal.refIdc == 0) expected += sps->offsetForNonRefPic;
            top = expected + s.deltaPoc[0];
            bottom = top + sps->offsetForTopToBottom + s.deltaPoc[1];
            if (s.fieldPic) bottom = top;
        } else {
            int64_t t = idr ? 0 : (s.nal.refIdc == 0 ? 2 * (frameNumOffset + s.frameNum) - 1
                                                      : 2 * (frameNumOffset + s.frameNum));
            top = bottom = t;
        }
        prevFrameNumOffset_ = frameNumOffset;
        prevFrameNum_ = s.frameNum;
    }
    return std::min(top, bottom);
}

}  // namespace tv
