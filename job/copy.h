// The byte-for-byte copy of an RSV into the work folder, and the seam its
// system calls go through so tests can inject read errors, a full disk and
// short writes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

#include "engine/base/unique_fd.h"

// The primitives of one copy. Each mirrors its POSIX namesake: a negative
// result means failure with the reason in errno (0 when there is none).
struct CopyIo {
    // openat(2): `dir` is AT_FDCWD for the source, the work folder for the copy.
    std::function<int(int dir, const char* path, int flags, mode_t mode)> open;
    std::function<ssize_t(int fd, void* buf, size_t n)> read;
    // Optional: asks for `length` bytes of the source from `offset` on to be
    // read ahead (posix_fadvise WILLNEED); nothing waits for them.
    std::function<void(int fd, int64_t offset, int64_t length)> readAhead;
    // Optional: tells that `length` bytes of the source from `offset` on are
    // copied and no longer needed in memory (posix_fadvise DONTNEED: the
    // card's pages are let go, never written).
    std::function<void(int fd, int64_t offset, int64_t length)> dropBehind;
    std::function<ssize_t(int fd, const void* buf, size_t n)> write;
    std::function<int(int fd)> close;
    // Optional: copies up to n bytes from `in` to `out` inside the kernel, at
    // both files' offsets, like copy_file_range(2). When it is absent, or
    // refuses the pair of files before the first byte, sendFile is tried,
    // then the copy reads and writes through its buffer.
    std::function<ssize_t(int in, int out, size_t n)> copyRange;
    // Optional: the same between two file systems, through the kernel's
    // pages (sendfile(2)): one pass over the bytes instead of the two of a
    // read and a write. Tried when copyRange is absent or refuses.
    std::function<ssize_t(int in, int out, size_t n)> sendFile;
    // Seconds on a monotonic clock.
    std::function<double()> now;
    // Optional: whether the opened descriptor is a regular file (fstat). Only
    // a regular file is copied: a FIFO never ends and a device fills the volume.
    std::function<bool(int fd)> isRegularFile;
    // Optional: fsync(2) of the finished copy before it is closed.
    std::function<int(int fd)> sync;
    // Optional: told after every 8 MiB and at the end that the destination
    // `fd` holds the first `copied` bytes.
    std::function<void(int fd, int64_t copied)> written;

    // The real system calls: read-ahead hints on the source and its pages
    // let go behind the copy, the kernel's copy within a file system, as
    // cp(1) does, and sendfile(2) between two.
    static CopyIo system();
};

// One progress report of a copy: "pct" and "detail" for the job state.
using CopyReport = std::function<void(double pct, const std::string& detail)>;

// Copies src to `dst` in the folder `dstDir` (a new file: never one that
// exists, never through a link), synced before it is closed, through `io`:
// in the kernel in 8 MiB chunks where it can (within a file system, else
// between two), else read and written through one buffer of kCopyBuffer
// bytes; the source is asked for 16 MiB ahead except within a file system. Calls
// `report` after the first chunk and then at most every 0.6 s.
// `total` is the source size as read beforehand (0 when unknown).
// Throws JobError: domain "copy" codes 1 to 5 (5: the source is no regular
// file), or domain "system" with the errno, a Korean lead and the system's
// text when a read or a write fails with a reason. The partial
// destination is left in place on every failure.
void copyFile(const CopyIo& io, const std::string& src, int dstDir, const std::string& dst, int64_t total,
              double basePct, double spanPct, const CopyReport& report);

class Job;
class WorkFolder;

// What a copy made for the job may have besides: a reader following it,
// calls other than the system's (tests).
struct CopyWatch {
    // Told after every 8 MiB and at the end how many bytes are written, with
    // a read-only descriptor of the copy (valid until the copy returns or
    // throws).
    std::function<void(int readFd, int64_t copied)> onWritten;
    CopyIo io = CopyIo::system();
};

// copyFile through `watch.io` with the job's state as the receiver of "pct"
// and "detail", into `partial` in `folder`, except that the copy is not
// yet flushed: every byte is written and the file closed (a late write error
// shows there), and what comes back is a read-only descriptor of that very
// file, so the engine can begin on it while sealCopy flushes and names it.
// `total` is the source's size. Throws JobError or JobCancelled; what was
// copied stays under `partial`.
tv::UniqueFd copyWithProgress(Job& job, const std::string& src, int64_t total, const WorkFolder& folder,
                              const std::string& partial, double basePct, double spanPct, CopyWatch watch = {});

// Flushes the complete copy open at `fd` to the disk through `sync` (fsync(2)
// semantics; EINVAL: the file system has nothing to flush) and only then
// gives `partial` the name `name` in `folder`. Throws JobError (domain "copy"
// code 3, or "system" with the errno); on failure the copy keeps its
// temporary name. Any thread.
void sealCopy(const std::function<int(int)>& sync, int fd, const WorkFolder& folder, const std::string& partial,
              const std::string& name);

constexpr size_t kCopyChunk = 8 * 1024 * 1024;
constexpr size_t kCopyBuffer = 256 * 1024;
constexpr double kReportInterval = 0.6;
