#include "output/movie_output.h"

#include "base/bytes.h"
#include "base/engine_contract.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/statvfs.h>

namespace tv {
namespace {

constexpr size_t kWriteBuffer = 8u << 20;
constexpr int64_t kWritebackBytes = 32LL << 20;
constexpr int64_t kMdatHeader = 16;
constexpr int64_t kFreeHeader = 8;
// A block size beyond this (or not a power of two) is not one a volume shares
// extents at; the payload then goes where it fits.
constexpr int64_t kMaxBlock = 1LL << 20;

int64_t blockSizeOf(int fd) {
    struct statvfs st {};
    if (::fstatvfs(fd, &st) != 0) return 0;
    const int64_t b = int64_t(st.f_bsize);
    return b >= 512 && b <= kMaxBlock && (b & (b - 1)) == 0 ? b : 0;
}

}  // namespace

MovieOutput::MovieOutput(const std::string& out, const OutputIo& io) : io_(io), file_(out) {
    buf_.reserve(kWriteBuffer);
}

int64_t MovieOutput::beginMedia(const std::vector<uint8_t>& ftyp, std::optional<int64_t> alignWith) {
    append(ftyp);
    if (alignWith) {
        const int64_t block = blockSizeOf(file_.fd());
        if (block > 0) {
            int64_t gap = ((*alignWith - pos() - kMdatHeader) % block + block) % block;
            if (gap > 0 && gap < kFreeHeader) gap += block;
            if (gap > 0) {
                std::vector<uint8_t> pad(size_t(gap), 0);
                setBe32(pad.data(), uint32_t(gap));
                setBe32(pad.data() + 4, fourcc("free"));
                append(pad);
            }
        }
    }
    mdatAt_ = pos();
    std::vector<uint8_t> head;
    putBe32(head, 1);
    putBe32(head, fourcc("mdat"));
    putBe64(head, 0);
    append(head);
    return pos();
}

void MovieOutput::endMedia() {
    flush();
    uint8_t size[8];
    setBe64(size, uint64_t(written_ - mdatAt_));
    writeAll(io_, file_.fd(), size, sizeof size, mdatAt_ + 8);
}

void MovieOutput::append(const uint8_t* p, size_t n) {
    if (buf_.size() + n > kWriteBuffer) flush();
    if (n >= kWriteBuffer) {
        writeAll(io_, file_.fd(), p, n, written_);
        written_ += int64_t(n);
        return;
    }
    buf_.insert(buf_.end(), p, p + n);
}

void MovieOutput::appendFrom(int fd, int64_t from, int64_t n) {
    flush();
    copyRange(io_, fd, from, file_.fd(), written_, n, [](int64_t) {});
    written_ += n;
    startWriteback();
}

int64_t MovieOutput::appendShared(int fd, int64_t from, int64_t n, const std::function<void(int64_t)>& onProgress) {
    flush();
    const int64_t shared =
        shareOrCopyRange(io_, fd, from, file_.fd(), written_, n, blockSizeOf(file_.fd()), onProgress);
    written_ += n;
    writebackFrom_ = written_;  // the copy started its own writeback
    return shared;
}

void MovieOutput::truncateTo(int64_t end) {
    flush();
    if (end >= written_) return;
    if (end < mdatAt_ + kMdatHeader || io_.ftruncate(file_.fd(), end) != 0)
        throw EngineError::writing(errno, "writing the output failed (trimming the media data)");
    written_ = end;
    writebackFrom_ = std::min(writebackFrom_, end);
}

void MovieOutput::finish(EngineError::Kind unplayableKind, const std::string& likelyCause, Reporter* rep) {
    flush();
    // The flush to the disk can take as long as the writing did; whoever
    // checks the file can read it meanwhile.
    if (rep) rep->info(engine_contract::kWrittenWord + file_.tempPath().substr(file_.tempPath().rfind('/') + 1));
    file_.sync(io_);
    // Parts of the movie box may come from a reference as they are; a damaged
    // one can make a file no player opens, which must not pass as success.
    if (auto why = io_.readBack(file_.tempPath()))
        throw EngineError(unplayableKind, "the repaired movie is unplayable: " + *why +
                                              (likelyCause.empty() ? "" : "; " + likelyCause) + " (kept as " +
                                              file_.tempPath() + ")");
    file_.publish();
}

void MovieOutput::flush() {
    if (buf_.empty()) return;
    writeAll(io_, file_.fd(), buf_.data(), buf_.size(), written_);
    written_ += int64_t(buf_.size());
    buf_.clear();
    startWriteback();
}

// Starts writing what has accumulated, in large requests, so the final
// fsync finds little left and the disk works while the walk goes on.
void MovieOutput::startWriteback() {
    if (written_ - writebackFrom_ < kWritebackBytes) return;
    ::sync_file_range(file_.fd(), writebackFrom_, written_ - writebackFrom_, SYNC_FILE_RANGE_WRITE);
    writebackFrom_ = written_;
}

std::string durationLine(const char* kind, unsigned trackId, double seconds) {
    char line[160];
    std::snprintf(line, sizeof line, "%s %s track %u: %.3f s", engine_contract::kDurationOf, kind, trackId, seconds);
    return line;
}

std::string footageLine(int64_t shared, int64_t payload, const std::string& why) {
    if (shared > 0)
        return engine_contract::kFootageSharedWord + std::to_string(shared) + " of " + std::to_string(payload) +
               " bytes are the RSV's own blocks, not a second copy";
    return engine_contract::kFootageWrittenWord +
           (why.empty() ? std::string("this volume cannot share the RSV's blocks") : why);
}

}  // namespace tv
