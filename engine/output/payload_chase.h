// The media payload of a movie appended while the RSV it comes from is
// still being copied: a thread of its own shares or copies the RSV's bytes
// onto the end of the movie as the copy announces them, so the movie's
// writing overlaps the copy instead of following it. On a volume that
// shares blocks only the first step is taken early (it shows that sharing
// works); the rest is shared once the copy is complete.
//
// Ownership: borrows the MovieOutput and the frontier, which outlive it; the
// MovieOutput must not be touched by anyone else until finish() or the
// destructor has returned. Thread: construct and finish on one thread.
// Errors: a failed write (EngineError Output or NoSpace) or a failed copy
// (EngineError Input) comes out of finish().
#pragma once

#include "base/copy_frontier.h"
#include "output/movie_output.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <thread>

namespace tv {

class PayloadChase {
public:
    // Appends [from, ...) of srcFd to `out` from its current end on.
    PayloadChase(MovieOutput& out, int srcFd, int64_t from, CopyFrontier& frontier);
    ~PayloadChase();  // stops the thread (after the range it is on) and waits for it
    PayloadChase(const PayloadChase&) = delete;
    PayloadChase& operator=(const PayloadChase&) = delete;

    // Ends the payload at `length` bytes: stops the thread, appends what it
    // had not reached yet (calling onProgress with the payload bytes done)
    // or cuts off what it appended beyond. Returns the bytes shared.
    int64_t finish(int64_t length, const std::function<void(int64_t)>& onProgress);

private:
    void run() noexcept;

    MovieOutput& out_;
    const int srcFd_;
    const int64_t from_;
    CopyFrontier& frontier_;
    std::atomic<bool> stop_{false};
    int64_t chased_ = 0, shared_ = 0;  // the thread's until it is joined
    std::exception_ptr failure_;
    std::thread thread_;  // last: started once everything above exists
};

}  // namespace tv
