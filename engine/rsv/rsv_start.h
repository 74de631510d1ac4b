// Finding where the media data of an RSV begins: at offset 0 (the usual
// case), after a reference-style header (ftyp/uuid/free/mdat whose size may be
// 0 or a placeholder), or failing that at the first verifiable group near
// the start. Rejects empty and MXF-style files with a clear reason.
//
// Errors: EngineError(Input).
#pragma once

#include "base/byte_source.h"
#include "base/reporter.h"
#include "rsv/one_group.h"

#include <cstdint>
#include <vector>

namespace tv {

int64_t locateMediaData(const ByteSource& rsv, const GroupWalker& walker, const WalkClock& clock,
                        Reporter& rep);

// Offset just after an mdat header found among leading header boxes, if any.
std::optional<int64_t> mediaAfterHeader(const ByteSource& rsv);

}  // namespace tv
