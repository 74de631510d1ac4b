// Does the RSV's stream come from the reference's camera setting? The RSV
// carries no parameter sets, so the frame size is judged from where its
// pictures' slices start: an address beyond the reference's picture, or a
// fixed slice layout at other positions than the reference's own fixed
// layout with as many slices, means another frame size. Pictures of one
// slice each give nothing to compare; such a mismatch goes undetected.
//
// Thread: any. Errors: none thrown for unreadable data (it proves nothing);
// I/O errors propagate from the sources.
#pragma once

#include "base/byte_source.h"
#include "codec/nal.h"
#include "codec/param_sets.h"
#include "mp4/reference.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tv {

// Slice start addresses of the picture stored at [offset, offset + size),
// in stored order; nullopt when a NAL unit or slice header does not parse.
std::optional<std::vector<uint32_t>> sliceAddresses(const ByteSource& src, int64_t offset, int64_t size,
                                                    VideoCodec codec, int nalLengthSize,
                                                    const ParameterSets& ps);

// Compares slice layouts of the reference's pictures with the RSV's; returns
// the reason for refusing the reference, or nullopt when nothing contradicts.
// pictureUnits bounds the addresses (macroblocks, or 16x16 blocks for H.265:
// no coding tree unit is smaller); 0 = unknown.
std::optional<std::string> frameSizeMismatch(const std::vector<std::vector<uint32_t>>& reference,
                                             const std::vector<std::vector<uint32_t>>& rsv,
                                             uint64_t pictureUnits);

// The reference's first pictures (those of its first chunk, at most `limit`).
std::vector<std::vector<uint32_t>> referenceSliceLayouts(const ByteSource& refFile, const Reference& ref,
                                                         const ParameterSets& ps, size_t limit = 8);

}  // namespace tv
