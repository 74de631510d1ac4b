// A fresh copy of the RSV made on a thread of its own while the engine reads
// it: the engine starts once a first stretch is written and learns how far
// the copy has got through records on a socket it inherits (the format is
// engine_contract's kFollowFd), ending with "complete" once every byte is
// written and the file closed. A copy that fails sends no "complete": the
// engine then fails on its own, and is stopped besides.
//
// Ownership: owns the thread and both ends of the socket; the destructor
// waits for the thread (a cancel or the copy's end ends it). Threads: the
// members are called from the pipeline's thread; `copy` and `seal` run on the
// copy's thread, `seal` once the copy is complete (flush, name, record).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/value.h"
#include "job/rate.h"
#include "engine/base/unique_fd.h"

class Job;

// Bytes written before the engine starts: its first reads (the media data's
// start, the first groups) then rarely wait.
constexpr int64_t kFirstStretch = 16LL << 20;

class FollowedCopy {
public:
    // Makes the copy through `copy` (which tells its argument after every
    // chunk the copy's read-only descriptor and the bytes written, and
    // returns that descriptor once complete); `total` is its expected length.
    using Copy = std::function<tv::UniqueFd(const std::function<void(int readFd, int64_t copied)>&)>;
    // `span`: the share of the bar the copy moves through.
    FollowedCopy(Job& job, int64_t total, double span, Copy copy, std::function<void(int readFd)> seal);
    ~FollowedCopy();
    FollowedCopy(const FollowedCopy&) = delete;
    FollowedCopy& operator=(const FollowedCopy&) = delete;

    // Waits for the first stretch (or the whole copy, when shorter) and
    // returns a read-only descriptor of the copy. Throws the copy's failure
    // when it failed first.
    tv::UniqueFd awaitStart();
    // The socket end the engine inherits.
    int engineEnd() const { return engineEnd_.get(); }
    // After the engine has ended: its end is closed here too, so records
    // nobody reads never hold the copy up.
    void engineEnded() { engineEnd_.close(); }
    // Whether the copy is still being written or flushed.
    bool copying() const { return copying_.load(); }
    // For an update made from the engine's figures: while the copy is
    // written and flushed the bar is the copy's (the engine cannot be ahead
    // of it), and the engine's figure is kept for when the copy is sealed;
    // afterwards the bar never falls below the copy's span.
    void bound(Value& changes);
    // Waits for the copy and its seal; throws what failed.
    void finish();
    // From now on the job's "eta_s" is this copy's and the engine's chase of
    // it (FollowEstimate): the engine's output is `name` in the folder open
    // at `folder` (looked up there, never through a link, once it exists),
    // and `afterward` tells the seconds the job takes once both are done
    // for a copy that took the seconds given. Pipeline's thread.
    void estimate(int folder, std::string name, std::function<double(double copySeconds)> afterward);

private:
    void run(Copy copy, std::function<void(int)> seal);
    TimeLeft timeLeft();  // under the job's state lock

    void send(const std::string& record, bool wait);

    Job& job_;
    const int64_t total_;
    const double span_;
    std::atomic<double> enginePct_{0};
    tv::UniqueFd jobEnd_, engineEnd_;
    std::mutex lock_;
    std::condition_variable moved_;
    tv::UniqueFd readFd_;
    int64_t copied_ = 0;
    bool ended_ = false, failed_ = false;
    std::atomic<bool> copying_{true};
    const double begun_;
    // What timeLeft samples: set by estimate() before the job is given
    // timeLeft, then touched only under the job's state lock.
    std::optional<FollowEstimate> estimate_;
    tv::UniqueFd folder_, output_, copyPages_;
    std::string outputName_;
    std::optional<bool> outputShared_;
    std::future<void> done_;  // last: the thread starts once everything above exists
};
