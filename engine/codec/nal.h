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
    const ParameterSets& ps_;
    bool started_ = false;
    int64_t prevMsb_ = 0;
    uint32_t prevLsb_ = 0;
    int64_t prevFrameNumOffset_ = 0;
    uint32_t prevFrameNum_ = 0;
};

}  // namespace tv
