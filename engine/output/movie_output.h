// The one way a movie file is written and published, for every family:
// a head (the file type box, a 64-bit mdat header, and a `free` box that
// places the payload on the RSV's block grid when asked), the payload
// appended in pieces or shared with the RSV in one range, the movie box, then
// sync, read-back and the final name (see OutputFile).
//
// Thread: one thread. Errors: EngineError (Output, or NoSpace for a full
// volume; the read-back's kind as the caller says). A failed run leaves its
// temporary file; nothing is deleted.
#pragma once

#include "base/errors.h"
#include "base/reporter.h"
#include "output/output.h"
#include "output/output_file.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tv {

class MovieOutput {
public:
    explicit MovieOutput(const std::string& out, const OutputIo& io = OutputIo::system());

    const std::string& tempPath() const noexcept { return file_.tempPath(); }
    int64_t pos() const noexcept { return written_ + int64_t(buf_.size()); }

    // Writes `ftyp` and the media data's header; returns where the payload
    // starts. With `alignWith`, the payload starts at an offset that agrees
    // with alignWith modulo the volume's block size, so the RSV's blocks can
    // be shared (a `free` box fills the gap).
    int64_t beginMedia(const std::vector<uint8_t>& ftyp, std::optional<int64_t> alignWith = std::nullopt);
    // Patches the media data's size to reach the current end.
    void endMedia();

    void append(const uint8_t* p, size_t n);
    void append(const std::vector<uint8_t>& v) { append(v.data(), v.size()); }
    // Appends [from, from + n) of another file, in the kernel where it can.
    void appendFrom(int fd, int64_t from, int64_t n);
    // Appends [from, from + n) of another file, sharing its blocks where the
    // volume allows it. Returns the bytes shared.
    int64_t appendShared(int fd, int64_t from, int64_t n, const std::function<void(int64_t)>& onProgress);
    // Cuts the file back to `end` (no further than the media data's start):
    // bytes appended beyond what the movie keeps.
    void truncateTo(int64_t end);

    // Flushes, syncs and reads the file back; a file that would not play
    // fails with `unplayableKind` (and `likelyCause` in the message), else
    // it takes its final name. Once the last byte is written, and before the
    // sync, `rep` (when given) says so with the temporary file's name.
    void finish(EngineError::Kind unplayableKind, const std::string& likelyCause = {}, Reporter* rep = nullptr);

private:
    void flush();
    void startWriteback();

    const OutputIo& io_;
    OutputFile file_;
    std::vector<uint8_t> buf_;
    int64_t written_ = 0, writebackFrom_ = 0, mdatAt_ = -1;
};

// The "Duration of" line for one written track.
std::string durationLine(const char* kind, unsigned trackId, double seconds);

// The line that says whether the footage was shared: `shared` of `payload`
// bytes; `why` says why nothing was (empty: the volume cannot share).
std::string footageLine(int64_t shared, int64_t payload, const std::string& why = {});

}  // namespace tv
