// A Reference built from what the recording itself tells (its layout and
// its video parameter sets) instead of read from a finished clip: the same
// header boxes and sample descriptions a camera writes, so the rest of the
// repair (walk, tables, moov) runs unchanged.
//
// Thread: any. Errors: EngineError(Reference) if the codec configuration box
// does not parse (a fault of the caller).
#pragma once

#include "mp4/config_record.h"
#include "noref/layout_from_rsv.h"
#include "mp4/reference.h"

#include <cstdint>
#include <vector>

namespace tv {

// codecConfig: the whole avcC or hvcC box; picture: its SPS summary.
Reference syntheticReference(const RsvRecording& rec, const std::vector<uint8_t>& codecConfig,
                             const SpsSummary& picture);

}  // namespace tv
