// Writing the recovered file: header, one bulk copy of the payload, moov.
#include "base/errors.h"
#include "output/output.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace tv {
namespace {

constexpr int64_t kSlice = 64LL << 20;  // progress granularity of the bulk copy
constexpr size_t kBuffer = 8u << 20;

[[noreturn]] void writeFailed(const char* what) {
    throw EngineError::writing(errno, std::string("writing the output failed (") + what + "): " + std::strerror(errno));
}

// Starts writing a copied slice to disk without waiting, so the final fsync
// finds little left to do and the disk works while the copy goes on.
void startWriteback(int fd, int64_t offset, int64_t length) {
    ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

bool copyInKernel(int srcFd, int64_t& in, int dstFd, int64_t& out, int64_t& left,
                  const std::function<void(int64_t)>& onProgress, int64_t length) {
    while (left > 0) {
        loff_t i = in, o = out;
        ssize_t n = ::copy_file_range(srcFd, &i, dstFd, &o, size_t(std::min(left, kSlice)), 0);
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

}  // namespace

void copyRange(int srcFd, int64_t from, int dstFd, int64_t dstOffset, int64_t length,
               const std::function<void(int64_t)>& onProgress) {
    int64_t in = from, out = dstOffset, left = length;
    if (copyInKernel(srcFd, in, dstFd, out, left, onProgress, length)) return;
    posix_fadvise(srcFd, in, left, POSIX_FADV_SEQUENTIAL);
    std::vector<uint8_t> buf(kBuffer);
    int64_t sinceReport = 0;
    while (left > 0) {
        ssize_t n = ::pread(srcFd, buf.data(), size_t(std::min<int64_t>(left, int64_t(kBuffer))), in);
        if (n < 0) {
            if (errno == EINTR) continue;
            writeFailed("reading the RSV");
        }
        if (n == 0) {
            errno = EIO;
            writeFailed("the RSV ended early");
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::pwrite(dstFd, buf.data() + done, size_t(n - done), out + done);
            if (w < 0) {
                if (errno == EINTR) continue;
                writeFailed("data");
            }
            done += w;
        }
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

}  // namespace tv
