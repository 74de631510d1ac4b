// Repair of an MXF-family RSV (a professional body's OP1a recording cut by
// power loss) into an MP4: settings from the RSV's own header metadata or,
// when it lost them, from a finished MXF reference; the walk to the cut; the
// pictures rewritten as length-prefixed samples and the sound copied as
// stored, streamed once through a bounded buffer; the output written under a
// temporary name and renamed onto OUT only after it is complete and synced.
//
// Thread: the caller's. Errors: EngineError — Reference (unreadable
// reference), Mismatch (the reference's essence differs from the RSV's),
// WrongFamily (the reference is not an MXF), NeedReference (no header
// metadata and no reference that supplies it, or no parameter sets), Input,
// Output (never replaces an existing OUT), Io.
#pragma once

#include "base/byte_source.h"
#include "base/repair_options.h"
#include "base/reporter.h"

namespace tv {

// True when the file's first bytes are an MXF key (the MXF family).
bool isMxfFamily(const ByteSource& src);

// `reference` may be null (a repair without one): the RSV must then carry its
// own header metadata and parameter sets.
RepairSummary runMxfRepair(const RepairOptions& options, const FileSource& rsv, const FileSource* reference,
                           Reporter& reporter);

}  // namespace tv
