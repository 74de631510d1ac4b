// Writing the recovered file's media payload: a straight copy of the RSV's
// bytes into the output, at disk speed.
#pragma once

#include <cstdint>
#include <functional>

namespace tv {

// Copies [from, from + length) of src to dst at dstOffset: in the kernel when
// it can (copy_file_range), otherwise through a large buffer. Calls
// onProgress(bytesDone) now and then. Throws EngineError(Output) on failure.
void copyRange(int srcFd, int64_t from, int dstFd, int64_t dstOffset, int64_t length,
               const std::function<void(int64_t)>& onProgress);

}  // namespace tv
