// How far a copy that is still being written has got, as its writer
// announces it (the records of engine_contract's kFollowFd), so that readers
// of the file never read past what is written.
//
// Ownership: reads (and closes) the descriptor it is given on a thread of its
// own, which drains it as records come, so the writer never waits on us; the
// destructor stops that thread within a fraction of a second.
// Threads: waitFor and the queries may be called from any thread.
// Errors: waitFor throws EngineError(Input) once the records ended without
// "complete" (the copy failed), or when they make no sense.
#pragma once

#include "base/unique_fd.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tv {

class CopyFrontier {
public:
    // The descriptor `fd` when it is open and a pipe or a stream socket,
    // after its first record ("size N") has come; nothing when `fd` is not
    // open. Throws EngineError(Input) when the records begin otherwise.
    static std::unique_ptr<CopyFrontier> inherited(int fd);
    explicit CopyFrontier(UniqueFd records);
    ~CopyFrontier();
    CopyFrontier(const CopyFrontier&) = delete;
    CopyFrontier& operator=(const CopyFrontier&) = delete;

    // The length announced in the first record (waits for it).
    int64_t expectedSize();
    // Blocks until [0, end) is written or the copy is complete; returns how
    // many bytes are written by then (the whole length once complete, which
    // may be less than `end`). With `stop`, returns -1 once *stop is set.
    int64_t waitFor(int64_t end, const std::atomic<bool>* stop = nullptr);
    // Blocks until the copy is complete; returns its length.
    int64_t waitComplete() { return waitFor(INT64_MAX); }

private:
    void drain();
    void take(const std::string& line);  // under lock_

    UniqueFd fd_;
    std::mutex lock_;
    std::condition_variable moved_;
    int64_t size_ = -1, written_ = 0;
    bool complete_ = false, ended_ = false;
    std::string fault_;
    std::atomic<bool> stopping_{false};
    std::thread reader_;  // last: started once everything above exists
};

}  // namespace tv
