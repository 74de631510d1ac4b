// One repair run: reference analysis, the walk over the RSV, and writing the
// recovered MP4. The caller supplies a Reporter that receives progress and
// log lines; the command-line front end prints them.
//
// Thread: runs on the caller's thread. Errors: EngineError with a plain
// reason (usage, reference, input, output, I/O); OUT is written only once the
// walk found something to keep, and a failure while writing it is an error.
#pragma once

#include "base/repair_options.h"
#include "base/reporter.h"

namespace tv {

RepairSummary runRepair(const RepairOptions& options, Reporter& reporter);

}  // namespace tv
