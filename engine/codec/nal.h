// H.264 SEI recovery points and picture order count (POC) decoding (NAL
// headers and slice fields are in nal_header.h); the parameter sets that
// slice headers are read with are in param_sets.h. Everything works on NAL
// bytes in memory (header included, emulation prevention still in place) and
// never reads beyond the given length.
//
// Thread: objects are used by one thread. Errors: std::nullopt when bytes do
// not parse; nothing throws.
#pragma once

#include "codec/nal_header.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace tv {

// H.264 SEI: true if the SEI NAL carries a recovery point message.
bool hasRecoveryPoint(const uint8_t* nal, size_t n);

class ParameterSets;  // param_sets.h
struct H264Sps;

// PicOrderCntMsb (H.264 8.2.1.1, H.265 8.3.1): the lsb's wrap against the
// previous anchor picture's.
int64_t pocMsb(int64_t lsb, int64_t prevLsb, int64_t prevMsb, uint32_t log2MaxLsb);

// The most pictures that precede one in decode order (pocs, in that order)
// but follow it in output order: how deep the pictures are reordered.
uint32_t reorderDepth(const std::vector<int64_t>& pocs);

// Decodes picture order counts in decode order. A "period" is a run of
// pictures whose counts are comparable (it restarts at IDR/BLA and at a
// reset after a discontinuity).
class PocCounter {
public:
    explicit PocCounter(const ParameterSets& ps) : ps_(ps) {}
    // Returns the picture's order count; *newPeriod is set when the picture
    // starts a new period.
    std::optional<int64_t> next(const SliceInfo& s, bool* newPeriod);
    void reset() { started_ = false; }

private:
    int64_t h265(const SliceInfo& s, uint32_t log2MaxLsb, bool* newPeriod);
    int64_t h264(const SliceInfo& s, const H264Sps& sps, bool* newPeriod);
    int64_t h264FromFrameNum(const SliceInfo& s, const H264Sps& sps, bool idr);
    const ParameterSets& ps_;
    bool started_ = false;
    int64_t prevMsb_ = 0;
    uint32_t prevLsb_ = 0;
    int64_t prevFrameNumOffset_ = 0;
    uint32_t prevFrameNum_ = 0;
};

}  // namespace tv
