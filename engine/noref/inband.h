// Parameter sets carried in the stream itself (in-band). Some bodies repeat
// SPS/PPS (and VPS) in their key frames; then the recording describes itself
// and no reference is needed.
//
// Thread: any. Errors: I/O errors propagate from the source as EngineError(Io).
#pragma once

#include "base/byte_source.h"
#include "codec/video_codec.h"
#include "rsv/one_group.h"

#include <cstdint>
#include <vector>

namespace tv {

// The parameter-set NAL units found in the given pictures (headers included),
// each distinct unit once, in stream order; empty when the stream has none.
std::vector<std::vector<uint8_t>> inbandParameterSets(const ByteSource& src, VideoCodec codec,
                                                      int nalLengthSize,
                                                      const std::vector<FrameInfo>& frames);

}  // namespace tv
