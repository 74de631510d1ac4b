// The MP4-family repair once the recording's layout is known (from a
// reference, or learnt from the RSV itself): the walk over the RSV, and the
// recovered movie written beside it.
//
// Thread: the caller's. Errors: EngineError with a plain reason; the output
// gets its final name only once it is complete, synced and checked.
#pragma once

#include "base/byte_source.h"
#include "base/repair_options.h"
#include "base/reporter.h"
#include "mp4/reference.h"

namespace tv {

// `reference` is the finished clip when there is one (its slices confirm the
// frame size); `walkReporter` receives the walk's progress.
RepairSummary runRsvRepair(const RepairOptions& options, const FileSource& rsv, const FileSource* reference,
                           const Reference& ref, Reporter& walkReporter, Reporter& reporter);

}  // namespace tv
