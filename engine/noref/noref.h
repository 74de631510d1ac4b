// Repair without a reference clip: everything a reference would tell is
// learnt from the recording itself. The layout comes from the RSV's groups;
// the video parameter sets from the stream when the camera wrote them
// in-band, otherwise rebuilt by a bounded search over the slices, with an
// optional donor clip from the same body lending what H.264 slices cannot
// reveal (scaling matrices).
//
// Thread: caller's. Errors: EngineError(ReferenceNeeded) when the recording
// alone cannot settle the parameters (a search that does not converge, an
// H.265 recording of one slice per picture); EngineError(Input) for an unusable RSV;
// EngineError(Reference) for an unreadable donor.
#pragma once

#include "base/byte_source.h"
#include "mp4/reference.h"
#include "base/reporter.h"

#include <string>

namespace tv {

Reference referenceFromRecording(const ByteSource& rsv, const std::string& donorPath, Reporter& rep);

}  // namespace tv
