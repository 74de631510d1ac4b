// What one repair run is asked to do, and what it reports back when it
// succeeds. Plain values; shared by both recording families.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tv {

struct RepairOptions {
    std::string reference, rsv, output;
    // No reference clip: everything is learnt from the RSV (donor: an
    // optional finished clip from the same body lending parameter fields).
    bool noReference = false;
    std::string donor;
    // Chunk offsets above this switch a track to co64 (lowered by tests).
    uint64_t co64Threshold = UINT32_MAX;
    bool verbose = false;
};

struct RepairSummary {
    uint64_t frames = 0;
    size_t groups = 0;
    int64_t payloadBytes = 0;
    int64_t outputBytes = 0;
};

}  // namespace tv
