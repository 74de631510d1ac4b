// Writing the recovered file: header, one bulk copy (or share) of the
// payload, moov.
#include "output/output.h"

#include "base/errors.h"
#include "base/unique_fd.h"
#include "output/output_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace tv {
namespace {

constexpr int64_t kSlice = 64LL << 20;  // progress granularity of the bulk copy
constexpr int64_t kCloneSlice = 1LL << 30;  // sharing is cheap; this only paces the progress
constexpr size_t kBuffer = 8u << 20;

[[noreturn]] void writeFailed(const char* what) {
    throw EngineError::writing(errno, std::string("writing the output failed (") + what + "): " + std::strerror(errno));
}

// Starts writing a copied slice to disk without waiting, so the final fsync
// finds little left to do and the disk works while the copy goes on.
void startWriteback(int fd, int64_t offset, int64_t length) {
    ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

bool copyInKernel(const OutputIo& io, int srcFd, int64_t& in, int dstFd, int64_t& out, int64_t& left,
                  const std::function<void(int64_t)>& onProgress, int64_t length) {
    while (left > 0) {
        ssize_t n = io.copyRange(srcFd, in, dstFd, out, size_t(std::min(left, kSlice)));
        if (n < 0) {
            if (errno == EINTR) continue;
            // Not supported between these files: let the buffered loop finish.
            if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL ||
                errno == EBADF || errno == ETXTBSY)
                return false;
            writeFailed("copy");
        }
        if (n == 0) {
            errno = EIO;
            writeFailed("the RSV ended early");
        }
        // Small copies (a caller assembling a file piece by piece) leave the
        // writeback to that caller: one request per piece costs more than the copy.
        if (n >= kSlice / 4) startWriteback(dstFd, out, n);
        in += n;
        out += n;
        left -= n;
        onProgress(length - left);
    }
    return true;
}

// Ranges shorter than this are not worth a descriptor and a buffer of their own.
constexpr int64_t kDirectLeast = 8LL << 20;
constexpr size_t kDirectChunk = 8u << 20;

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// Calls `step(done)` (a read or a write of what is left at its offset)
// until n bytes are done, through interruptions and short counts. A failure
// is `failed`; no progress at all is `stalled`.
template <typename Step>
void whole(size_t n, const char* failed, const char* stalled, Step step) {
    for (size_t done = 0; done < n;) {
        const ssize_t r = step(done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) writeFailed(failed);
        if (r == 0) {
            errno = EIO;
            writeFailed(stalled);
        }
        done += size_t(r);
    }
}

void readAll(const OutputIo& io, int fd, uint8_t* p, size_t n, int64_t at) {
    whole(n, "reading the RSV", "the RSV ended early",
          [&](size_t done) { return io.pread(fd, p + done, n - done, at + int64_t(done)); });
}

// Writes [from, from + length) of src (both offsets aligned, length a
// multiple of kDirectAlign) past the page cache. Returns the bytes done:
// fewer than asked when the volume refuses such writes, or a write comes
// back short of the alignment; the caller copies the rest the usual way.
int64_t copyDirect(const OutputIo& io, int srcFd, int64_t from, int dstFd, int64_t dstOffset, int64_t length,
                   const std::function<void(int64_t)>& onProgress) {
    const UniqueFd direct(io.openDirect(dstFd));
    std::unique_ptr<uint8_t, FreeDeleter> buf(
        static_cast<uint8_t*>(std::aligned_alloc(size_t(kDirectAlign), kDirectChunk)));
    if (direct.get() < 0 || !buf) return 0;
    int64_t done = 0;
    while (done < length) {
        const size_t n = size_t(std::min<int64_t>(length - done, int64_t(kDirectChunk)));
        readAll(io, srcFd, buf.get(), n, from + done);
        // The write past the cache waits for the disk: meanwhile the kernel
        // reads the next chunk (nothing to do where the copy's pages still are).
        const int64_t next = std::min<int64_t>(length - done - int64_t(n), int64_t(kDirectChunk));
        if (next > 0) (void)::posix_fadvise(srcFd, from + done + int64_t(n), next, POSIX_FADV_WILLNEED);
        size_t put = 0;
        while (put < n) {
            const ssize_t w = io.pwrite(direct.get(), buf.get() + put, n - put, dstOffset + done + int64_t(put));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno != EINVAL && errno != EOPNOTSUPP) writeFailed("data");
            // Refused, or nothing taken: the usual way tries the rest and
            // tells its own failure.
            if (w <= 0) return done + int64_t(put);
            put += size_t(w);
            if (put % size_t(kDirectAlign) != 0) return done + int64_t(put);
        }
        done += int64_t(n);
        onProgress(done);
    }
    return done;
}

void copyBuffered(const OutputIo& io, int srcFd, int64_t in, int dstFd, int64_t out, int64_t left,
                  const std::function<void(int64_t)>& onProgress, int64_t length) {
    posix_fadvise(srcFd, in, left, POSIX_FADV_SEQUENTIAL);
    std::vector<uint8_t> buf(kBuffer);
    int64_t sinceReport = 0;
    while (left > 0) {
        ssize_t n = io.pread(srcFd, buf.data(), size_t(std::min<int64_t>(left, int64_t(kBuffer))), in);
        if (n < 0) {
            if (errno == EINTR) continue;
            writeFailed("reading the RSV");
        }
        if (n == 0) {
            errno = EIO;
            writeFailed("the RSV ended early");
        }
        writeAll(io, dstFd, buf.data(), size_t(n), out);
        in += n;
        out += n;
        left -= n;
        sinceReport += n;
        if (sinceReport >= kSlice || left == 0) {
            startWriteback(dstFd, out - sinceReport, sinceReport);
            onProgress(length - left);
            sinceReport = 0;
        }
    }
}

}  // namespace

const OutputIo& OutputIo::system() {
    static const OutputIo io = [] {
        OutputIo s;
        s.pwrite = [](int fd, const void* p, size_t n, int64_t at) { return ::pwrite(fd, p, n, at); };
        s.pread = [](int fd, void* p, size_t n, int64_t at) { return ::pread(fd, p, n, at); };
        s.copyRange = [](int in, int64_t inAt, int out, int64_t outAt, size_t n) {
            loff_t i = inAt, o = outAt;
            return ::copy_file_range(in, &i, out, &o, n, 0);
        };
        s.cloneRange = [](int in, int64_t inAt, int out, int64_t outAt, int64_t n) {
            file_clone_range r{};
            r.src_fd = in;
            r.src_offset = uint64_t(inAt);
            r.src_length = uint64_t(n);
            r.dest_offset = uint64_t(outAt);
            return ::ioctl(out, FICLONERANGE, &r);
        };
        s.openDirect = [](int fd) {
            return ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
        };
        s.fsync = [](int fd) { return ::fsync(fd); };
        s.ftruncate = [](int fd, int64_t length) { return ::ftruncate(fd, off_t(length)); };
        s.readBack = [](const std::string& path) { return unplayableMovie(path); };
        return s;
    }();
    return io;
}

void writeAll(const OutputIo& io, int fd, const uint8_t* p, size_t n, int64_t at) {
    whole(n, "data", "data", [&](size_t done) { return io.pwrite(fd, p + done, n - done, at + int64_t(done)); });
}

namespace {

void copyThroughCache(const OutputIo& io, int srcFd, int64_t from, int dstFd, int64_t dstOffset, int64_t length,
                      const std::function<void(int64_t)>& onProgress) {
    int64_t in = from, out = dstOffset, left = length;
    if (copyInKernel(io, srcFd, in, dstFd, out, left, onProgress, length)) return;
    copyBuffered(io, srcFd, in, dstFd, out, left, onProgress, length);
}

}  // namespace

void copyRange(const OutputIo& io, int srcFd, int64_t from, int dstFd, int64_t dstOffset, int64_t length,
               const std::function<void(int64_t)>& onProgress) {
    int64_t done = 0;
    if (io.openDirect && from % kDirectAlign == dstOffset % kDirectAlign && length >= kDirectLeast) {
        const int64_t lead = (kDirectAlign - dstOffset % kDirectAlign) % kDirectAlign;
        copyThroughCache(io, srcFd, from, dstFd, dstOffset, lead, onProgress);
        done = lead + copyDirect(io, srcFd, from + lead, dstFd, dstOffset + lead,
                                 (length - lead) / kDirectAlign * kDirectAlign,
                                 [&](int64_t n) { onProgress(lead + n); });
    }
    copyThroughCache(io, srcFd, from + done, dstFd, dstOffset + done, length - done,
                     [&](int64_t n) { onProgress(done + n); });
}

int64_t shareOrCopyRange(const OutputIo& io, int srcFd, int64_t from, int dstFd, int64_t dstOffset, int64_t length,
                         int64_t block, const std::function<void(int64_t)>& onProgress) {
    if (block <= 0 || from % block != dstOffset % block || !io.cloneRange) {
        copyRange(io, srcFd, from, dstFd, dstOffset, length, onProgress);
        return 0;
    }
    const int64_t lead = std::min(length, (block - from % block) % block);
    const int64_t body = (length - lead) / block * block;
    copyRange(io, srcFd, from, dstFd, dstOffset, lead, [&](int64_t done) { onProgress(done); });
    int64_t shared = 0;
    while (shared < body) {
        const int64_t n = std::min(body - shared, kCloneSlice);
        if (io.cloneRange(srcFd, from + lead + shared, dstFd, dstOffset + lead + shared, n) != 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSPC || errno == EDQUOT || errno == EIO) writeFailed("sharing");
            break;  // the volume cannot share these blocks: copy what is left
        }
        shared += n;
        onProgress(lead + shared);
    }
    const int64_t done = lead + shared;
    copyRange(io, srcFd, from + done, dstFd, dstOffset + done, length - done,
              [&](int64_t n) { onProgress(done + n); });
    return shared;
}

}  // namespace tv
