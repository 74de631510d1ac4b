// The walk over an RSV: group after group from the start of the media data,
// each accepted group handed to a GroupSink. A group that does not check out
// (damage) is skipped: the walk resynchronises at the next offset where a
// group verifiably starts and reports every skipped range with an "Info:"
// line, and the totals at the end. Resynchronisation costs nothing on an
// undamaged file: it runs only after a failed group.
//
// Thread: the caller's. Errors: EngineError(Input) when the first group does
// not check out and no group verifies within the search window (the stream
// does not match the reference); I/O errors propagate from the source.
#pragma once

#include "base/damage_log.h"
#include "rsv/group_sink.h"
#include "base/reporter.h"
#include "rsv/one_group.h"

#include <cstdint>
#include <string>

namespace tv {

struct WalkSummary {
    int64_t skippedRanges = 0;
    int64_t skippedBytes = 0;
};

// Walks from `start` to the end of the source. `firstWindow` bounds the search
// for a good group when the very first one fails (a mismatched reference
// never verifies anything; scanning a whole card image to prove it would take
// long).
WalkSummary walkResynchronising(const ByteSource& src, GroupWalker& walker, GroupSink& sink, int64_t start,
                       Reporter& rep, bool verbose, int64_t firstWindow = 64LL << 20);

}  // namespace tv
