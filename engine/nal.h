// H.264 / H.265 NAL unit headers, the slice-header fields that picture order
// needs, and picture order count (POC) decoding; the parameter sets that
// slice headers are read with are in param_sets.h. Everything works on NAL
// bytes in memory (header included, emulation prevention still in place) and
// never reads beyond the given length.
//
// Thread: objects are used by one thread. Errors: std::nullopt when bytes do
// not parse; nothing throws.
#pragma once

#include "reference.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace tv {

struct NalHeader {
    int type = 0;
    int refIdc = 0;   // H.264 nal_ref_idc
    int layerId = 0;  // H.265
    int tid = 0;      // H.265 TemporalId
};

// Checks forbidden bit, a type a camera stream can carry, and the fields the
// standards tie to it. n must cover the header (1 or 2 bytes).
std::optional<NalHeader> parseNalHeader(VideoCodec codec, const uint8_t* p, size_t n);
int nalHeaderSize(VideoCodec codec);
bool isAud(VideoCodec codec, int type);
bool isSlice(VideoCodec codec, int type);
bool isRandomAccess(VideoCodec codec, int type);  // IDR (H.264), IRAP (H.265)

// H.264 SEI: true if the SEI NAL carries a recovery point message.
bool hasRecoveryPoint(const uint8_t* nal, size_t n);

struct SliceInfo {
    NalHeader nal;
    bool firstInPicture = true;
    uint32_t address = 0;  // first_mb_in_slice / slice_segment_address
    uint32_t frameNum = 0;
    uint32_t pocLsb = 0;
    int32_t deltaPocBottom = 0;
    int32_t deltaPoc[2] = {0, 0};
    bool fieldPic = false, bottomField = false;
    uint32_t ppsId = 0;
};

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
