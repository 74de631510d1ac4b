#include "job/copy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <limits>
#include <memory>

#include "job/job.h"
#include "job/rate.h"
#include "job/job_error.h"
#include "job/failure_text.h"
#include "job/work_folder.h"
#include "job/text_format.h"
#include "scan/fs_queries.h"

namespace {

using namespace failure;

// Closes through the seam when the copy ends, however it ends.
class SeamFd {
public:
    SeamFd(const CopyIo& io, int fd) : io_(io), fd_(fd) {}
    SeamFd(const SeamFd&) = delete;
    SeamFd& operator=(const SeamFd&) = delete;
    ~SeamFd() {
        if (fd_ >= 0) io_.close(fd_);
    }
    // Closes now and gives close's result (a late write error shows here).
    int closeNow() {
        int fd = fd_;
        fd_ = -1;
        errno = 0;
        return io_.close(fd);
    }
    int get() const { return fd_; }

private:
    const CopyIo& io_;
    int fd_;
};

// A failed call: its own reason if it gave one, else the fixed message.
// A failed read is the card's, whatever the reason, unless the reason can only
// be the work volume's (the kernel's copy reads and writes in one call); a
// failed write's reason tells what is wrong with the work volume.
[[noreturn]] void fail(int savedErrno, int code, const char* message) {
    const bool volumeReason = savedErrno == ENOSPC || savedErrno == EDQUOT || savedErrno == EROFS ||
                              savedErrno == EFBIG;
    if (savedErrno != 0 && code == 2 && !volumeReason)
        throw JobError("system", savedErrno, message, std::strerror(savedErrno));
    if (savedErrno != 0) throw JobError::system(savedErrno);
    throw JobError("copy", code, message);
}

}  // namespace

CopyIo CopyIo::system() {
    CopyIo io;
    io.open = [](int dir, const char* path, int flags, mode_t mode) {
        int fd = ::openat(dir, path, flags | O_CLOEXEC, mode);
        // The source is read once front to back; a deeper read-ahead keeps a
        // card reader streaming.
        if (fd >= 0 && (flags & O_ACCMODE) == O_RDONLY) (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return fd;
    };
    io.read = [](int fd, void* buf, size_t n) { return ::read(fd, buf, n); };
    io.readAhead = [](int fd, int64_t offset, int64_t length) {
        (void)::posix_fadvise(fd, off_t(offset), off_t(length), POSIX_FADV_WILLNEED);
    };
    io.dropBehind = [](int fd, int64_t offset, int64_t length) {
        (void)::posix_fadvise(fd, off_t(offset), off_t(length), POSIX_FADV_DONTNEED);
    };
    io.write = [](int fd, const void* buf, size_t n) { return ::write(fd, buf, n); };
    io.close = [](int fd) { return ::close(fd); };
    io.sync = [](int fd) { return ::fsync(fd); };
    io.copyRange = [](int in, int out, size_t n) { return ::copy_file_range(in, nullptr, out, nullptr, n, 0); };
    io.sendFile = [](int in, int out, size_t n) { return ::sendfile(out, in, nullptr, n); };
    io.isRegularFile = [](int fd) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    };
    io.now = [] {
        using namespace std::chrono;
        return duration<double>(steady_clock::now().time_since_epoch()).count();
    };
    return io;
}

void copyFile(const CopyIo& io, const std::string& src, int dstDir, const std::string& dst, int64_t total,
              double basePct, double spanPct, const CopyReport& report) {
    // Opening a FIFO for reading would wait for a writer, maybe for ever;
    // opened without waiting, its kind shows before the first read.
    SeamFd in(io, io.open(AT_FDCWD, src.c_str(), O_RDONLY | O_NONBLOCK, 0));
    if (in.get() < 0) throw JobError("copy", 1, kCannotOpen);
    if (io.isRegularFile && !io.isRegularFile(in.get())) throw JobError("copy", 5, kNotRegular);
    // A new file only: an existing one (another recording's copy) is never
    // overwritten, and a link planted there is never written through.
    SeamFd out(io, io.open(dstDir, dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666));
    if (out.get() < 0) {
        switch (errno) {
        case EEXIST: case ELOOP: case EROFS: case EACCES: case EPERM:
        case ENOSPC: case EDQUOT: case EISDIR: case ENOTDIR:
            throw JobError::system(errno);  // what is wrong with the work folder, in words
        default:
            throw JobError("copy", 1, kCannotOpen);
        }
    }

    // A small buffer, used over and over: the bytes a read puts there are
    // still in the processor's cache when the write takes them. An 8 MiB
    // buffer sent every byte through main memory twice more and made the
    // copy about twice as slow as cp(1).
    auto buffer = std::make_unique<char[]>(kCopyBuffer);
    int64_t copied = 0;
    int64_t requested = 0;  // the source is asked for ahead up to here
    int64_t announced = 0;  // io.written and io.dropBehind were told up to here
    double last = -std::numeric_limits<double>::infinity();  // the first chunk always reports

    // The kernel's ways, best first: a copy within the file system, then one
    // between two; neither: the buffer.
    const std::function<ssize_t(int, int, size_t)>* kernel =
        io.copyRange ? &io.copyRange : io.sendFile ? &io.sendFile : nullptr;
    for (;;) {
        ssize_t n = 0;
        // Ask for the next two chunks while this one is moved, so the card is
        // read while the copy writes (a copy within one file system needs none).
        if (kernel != &io.copyRange && io.readAhead && copied + int64_t(kCopyChunk) > requested) {
            io.readAhead(in.get(), copied, int64_t(2 * kCopyChunk));
            requested = copied + int64_t(2 * kCopyChunk);
        }
        if (kernel) {
            errno = 0;
            n = (*kernel)(in.get(), out.get(), kCopyChunk);
            if (n < 0 && errno == EINTR) continue;
            // Refusals come before the first byte (files on different file
            // systems, or a kind of file the kernel cannot copy; some file
            // systems claim to have nothing to copy): the offsets have not
            // moved, so the next way takes over from the start.
            const bool refused = n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                                           errno == EOPNOTSUPP || errno == EBADF);
            if (copied == 0 && (refused || n == 0)) {
                kernel = kernel == &io.copyRange && io.sendFile ? &io.sendFile : nullptr;
                continue;
            }
            if (n < 0) fail(errno, 2, kReadError);
            if (n == 0) break;
        } else {
            errno = 0;
            n = io.read(in.get(), buffer.get(), kCopyBuffer);
            if (n < 0) {
                if (errno == EINTR) continue;
                fail(errno, 2, kReadError);
            }
            if (n == 0) break;

            for (ssize_t off = 0; off < n;) {
                errno = 0;
                ssize_t w = io.write(out.get(), buffer.get() + off, static_cast<size_t>(n - off));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) fail(w < 0 ? errno : 0, 3, kWriteError);
                off += w;
            }
        }
        copied += n;
        // Told per chunk, not per buffer: a follower wakes once for 8 MiB.
        if (copied - announced >= int64_t(kCopyChunk)) {
            // A recording as large as memory would otherwise push out the
            // copy the engine is about to read, and whatever else the
            // computer holds, with bytes nobody reads again.
            if (io.dropBehind) io.dropBehind(in.get(), announced, copied - announced);
            if (io.written) io.written(out.get(), copied);
            announced = copied;
        }

        const double now = io.now();
        if (now - last > kReportInterval) {
            last = now;
            const double fraction = total > 0 ? double(copied) / double(total) : 0.0;
            const double pct = std::min(fraction, 1.0) * spanPct + basePct;
            report(pct, "복사 중 " + fixed(double(copied) / 1e9, 1) + " / " + fixed(double(total) / 1e9, 1) + " GB");
        }
    }
    if (io.written && copied > announced) io.written(out.get(), copied);
    if (total >= 1 && copied < total) throw JobError("copy", 4, kCutShort);
    errno = 0;
    if (io.sync && io.sync(out.get()) != 0 && errno != EINVAL) fail(errno, 3, kWriteError);
    if (out.closeNow() != 0 && errno != EINTR) fail(errno, 3, kWriteError);
}

tv::UniqueFd copyWithProgress(Job& job, const std::string& src, int64_t total, const WorkFolder& folder,
                              const std::string& partial, double basePct, double spanPct, CopyWatch watch) {
    CopyIo& io = watch.io;
    // Where the copy would be flushed, a read-only descriptor of the same
    // file is taken instead (reopened through the written one, so it cannot
    // be another file of that name); sealCopy flushes it later. A follower
    // gets it from the first chunk on.
    tv::UniqueFd twin;
    io.sync = [&twin](int fd) {
        if (twin.get() < 0)
            twin = tv::UniqueFd(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC));
        return twin.get() >= 0 ? 0 : -1;
    };
    if (watch.onWritten)
        io.written = [&](int fd, int64_t copied) {
            if (io.sync(fd) != 0) throw JobError::system(errno);
            watch.onWritten(twin.get(), copied);
        };
    const RateEstimate rate(total, io.now());
    job.throwIfCancelled();
    copyFile(io, src, folder.fd(), partial, total, basePct, spanPct, [&](double pct, const std::string& detail) {
        // A cancel ends the copy here; the partial copy stays, as on any failure.
        job.throwIfCancelled();
        Value changes = rate.at(spanPct > 0 ? (pct - basePct) / spanPct : 0.0, io.now());
        changes["pct"] = pct;
        changes["detail"] = detail;
        job.update(changes);
    });
    job.throwIfCancelled();
    return twin;
}

void sealCopy(const std::function<int(int)>& sync, int fd, const WorkFolder& folder, const std::string& partial,
              const std::string& name) {
    errno = 0;
    if (sync(fd) != 0 && errno != EINVAL) fail(errno, 3, kWriteError);
    folder.publish(partial, name);
}
