#include "base/byte_source.h"

#include "base/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tv {

std::vector<uint8_t> ByteSource::readVector(int64_t offset, size_t n) const {
    if (offset < 0 || offset >= size()) return {};
    int64_t avail = size() - offset;
    if (static_cast<int64_t>(n) > avail) n = static_cast<size_t>(avail);
    std::vector<uint8_t> out(n);
    out.resize(read(offset, out.data(), n));
    return out;
}

size_t MemorySource::read(int64_t offset, void* dst, size_t n) const {
    if (offset < 0 || static_cast<uint64_t>(offset) >= size_) return 0;
    size_t avail = size_ - static_cast<size_t>(offset);
    if (n > avail) n = avail;
    // An empty vector's data() may be null; memcpy must not see it.
    if (n == 0) return 0;
    std::memcpy(dst, data_ + offset, n);
    return n;
}

std::unique_ptr<FileSource> FileSource::open(const std::string& path, int errorKind) {
    auto kind = static_cast<EngineError::Kind>(errorKind);
    // Opened without waiting: opening a FIFO for reading blocks until a
    // writer comes, which may be never. Only a regular file is read.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        throw EngineError(kind, "cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd.get(), &st) != 0)
        throw EngineError(kind, "cannot read " + path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw EngineError(kind, path + " is not a regular file");
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        throw EngineError(kind, "cannot read " + path + ": " + std::strerror(errno));
    // Readers go forward through the file: a larger readahead serves the
    // walk's many small header reads from few disk requests.
    posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return std::make_unique<FileSource>(std::move(fd), static_cast<int64_t>(st.st_size), path);
}

namespace {
// A cold walk touches nearly every block of the file anyway (a picture is a
// few hundred KiB, read-ahead spans that); one large read per MiB keeps the
// disk streaming where page-sized reads left it waiting between requests
// (measured cold, 1 GB: btrfs 8.0 s -> 1.7 s, XFS 1.7 -> 1.2, ext4 3.2 -> 2.9).
constexpr int64_t kCacheBlock = 1 << 20;
}

// The block that starts at `start`, read unless it is one of the last few
// read. The walk confirms a group by the next one's headers and then comes
// back to it: with a single block every byte of a recording was read 2.3
// times over (2 GB: 4.5 GB of reads).
const FileSource::Block& FileSource::block(int64_t start) const {
    Block* oldest = &blocks_[0];
    for (Block& b : blocks_) {
        if (b.start == start) {
            b.used = ++uses_;
            return b;
        }
        if (b.used < oldest->used) oldest = &b;
    }
    oldest->start = -1;  // until the read below has succeeded
    oldest->bytes.resize(size_t(kCacheBlock));
    oldest->bytes.resize(readDirect(start, oldest->bytes.data(), oldest->bytes.size()));
    oldest->start = start;
    oldest->used = ++uses_;
    return *oldest;
}

size_t FileSource::read(int64_t offset, void* dst, size_t n) const {
    if (offset < 0 || offset >= size_) return 0;
    if (int64_t(n) > kCacheBlock / 2) return readDirect(offset, dst, n);
    auto* out = static_cast<uint8_t*>(dst);
    size_t done = 0;
    while (done < n) {  // two blocks at most: n is under one block
        const int64_t at = offset + int64_t(done);
        const Block& b = block(at & ~(kCacheBlock - 1));
        const int64_t inside = at - b.start;
        if (inside >= int64_t(b.bytes.size())) break;  // the end of the file
        const size_t m = size_t(std::min<int64_t>(int64_t(n - done), int64_t(b.bytes.size()) - inside));
        std::memcpy(out + done, b.bytes.data() + inside, m);
        done += m;
    }
    return done;
}

size_t FileSource::readDirect(int64_t offset, void* dst, size_t n) const {
    if (offset < 0 || offset >= size_) return 0;
    size_t done = 0;
    auto* out = static_cast<uint8_t*>(dst);
    while (done < n) {
        ssize_t got = ::pread(fd_.get(), out + done, n - done, offset + static_cast<int64_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw EngineError(EngineError::Kind::Io,
                              "read error in " + path_ + ": " + std::strerror(errno));
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

}  // namespace tv
