// Writing the recovered file's media payload: a straight copy of the RSV's
// bytes into the output at disk speed, or no copy at all where the volume
// can share the RSV's blocks. Every system call that writes goes through
// OutputIo, so tests can make the volume full, interrupt calls or write short.
//
// Thread: the caller's. Errors: EngineError (Output, or NoSpace for a full
// volume); nothing is written past a failure.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tv {

// Each member mirrors its POSIX namesake: a negative result means failure
// with the reason in errno.
struct OutputIo {
    std::function<ssize_t(int fd, const void* buf, size_t n, int64_t at)> pwrite;
    std::function<ssize_t(int fd, void* buf, size_t n, int64_t at)> pread;
    // copy_file_range(2) at explicit offsets of both files.
    std::function<ssize_t(int in, int64_t inAt, int out, int64_t outAt, size_t n)> copyRange;
    // Makes [outAt, outAt + n) of `out` share the blocks of [inAt, ...) of
    // `in` (the FICLONERANGE ioctl): 0, or -1 when the volume cannot.
    // Offsets and length are multiples of the volume's block size.
    std::function<int(int in, int64_t inAt, int out, int64_t outAt, int64_t n)> cloneRange;
    // Optional: a second descriptor of the file open at `fd` that writes
    // past the page cache (O_DIRECT), or -1 when the volume cannot. Writes
    // through it take offsets, lengths and buffers aligned to kDirectAlign.
    std::function<int(int fd)> openDirect;
    std::function<int(int fd)> fsync;
    std::function<int(int fd, int64_t length)> ftruncate;
    // Why the written movie at `path` would not play; nothing when it does.
    std::function<std::optional<std::string>(const std::string& path)> readBack;

    static const OutputIo& system();
};

// The alignment writes past the page cache need: a page, and any block size
// up to it.
constexpr int64_t kDirectAlign = 4096;

// Copies [from, from + length) of src to dst at dstOffset. A long range
// whose offsets agree modulo kDirectAlign is written past the page cache
// where the volume allows it (the footage is read once through the cache
// and goes to the disk without a second pass through it, nor a flush
// later); the rest is copied in the kernel when it can (copy_file_range),
// otherwise through a large buffer. Calls onProgress(bytesDone) now and then.
void copyRange(const OutputIo& io, int srcFd, int64_t from, int dstFd, int64_t dstOffset, int64_t length,
               const std::function<void(int64_t)>& onProgress);

// Writes all of [p, p + n) at `at`, through interruptions and short writes.
void writeAll(const OutputIo& io, int fd, const uint8_t* p, size_t n, int64_t at);

// copyRange, except that the part of the range whose offsets in both files
// are multiples of `block` is shared instead of copied where the volume
// allows it. Returns the bytes shared (0 when nothing could be).
int64_t shareOrCopyRange(const OutputIo& io, int srcFd, int64_t from, int dstFd, int64_t dstOffset, int64_t length,
                         int64_t block, const std::function<void(int64_t)>& onProgress);

}  // namespace tv
