// One repair run: reference analysis, the walk over the RSV, and writing the
// recovered MP4. The caller supplies a Reporter that receives progress and
// log lines; the command-line front end prints them.
//
// Thread: runs on the caller's thread. Errors: EngineError with a plain
// reason (usage, reference, input, output, I/O); OUT is written only once the
// walk found something to keep, and a failure while writing it is an error.
#pragma once

#include "byte_source.h"
#include "reporter.h"

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

RepairSummary runRepair(const RepairOptions& options, Reporter& reporter);

}  // namespace tv
