// The state of one recovery of one RSV file, as the page sees it. The steps
// that fill it live in the pipeline (pipeline.h), the copy (copy.h) and the
// engine run (engine_run.h); this holder calls none of them.
//
// Ownership: the Bridge keeps every Job in `jobs` for the rest of the run; the
// background item running the pipeline and every scheduled push hold it too.
// The Job refers to its Bridge weakly: once the bridge is gone, pushes are
// dropped. Create it with std::make_shared (pushes hold it through
// shared_from_this).
//
// Threads: `update` may be called from any thread; merges are serialised by a
// mutex and each snapshot is pushed to window.__progress on the main queue in
// the order of the merges. `state()` returns a copy taken under that mutex.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/bridge.h"
#include "bridge/value.h"
#include "job/child_handle.h"
#include "job/rate.h"

// Thrown inside the pipeline once the job has been asked to stop; the
// pipeline ends the job with "stage" "cancelled".
struct JobCancelled {};

// The engine process of a run: set once it has been started, kept afterwards.
struct EngineProcess {
    pid_t pid = 0;
    std::optional<int> waitStatus;  // raw status from waitpid once it has ended
};

class Job : public std::enable_shared_from_this<Job> {
public:
    // state = {"id": id, "stage": "queue", "pct": 0}; pushes nothing.
    Job(std::string id, const std::shared_ptr<Bridge>& bridge);

    // Merges `changes` (an object) into the state, replacing any earlier value
    // of a key, and schedules a push of the whole merged state. Does not wait.
    // Each merge also sets "elapsed_s" (whole seconds since the job was made)
    // and, from the overall "pct", "eta_s" for the whole job; "eta_s" is
    // absent while too little is known and once the job has ended.
    // Estimate::Unknown: a step whose length nobody can tell is running
    // ("eta_s" absent); its time and its share of "pct" are left out of the
    // estimate made after it.
    enum class Estimate { FromPct, Unknown };
    void update(const Value& changes, Estimate estimate = Estimate::FromPct);
    // update(), but only while "stage" is still `stage` (checked under the
    // same lock, so a step that has moved on is never set back); whether it
    // merged.
    bool updateWhile(const std::string& stage, const Value& changes);
    // A better source of "eta_s" than the straight line over "pct" while the
    // stage is "copy" or "recover" (a copy the engine follows); empty: none.
    // It is called under the state's lock at every merge that is not
    // Estimate::Unknown, from any thread that merges, so it must neither
    // call this Job nor wait for anyone who may. Once this returns, the
    // previous source is no longer being called.
    void estimateWith(std::function<TimeLeft()> source);
    // Verification is expected to take `seconds` from now: while the stage
    // is "verify", "eta_s" counts them down (never below 1 while it runs)
    // instead of the straight line, which the few points of "pct" left for
    // it cannot carry. Any thread.
    void expectVerification(double seconds);
    // A copy of the current state.
    Value state() const;
    // True until the state has reached "done", "error" or "cancelled".
    bool running() const;

    // Asks the job to stop: the copy stops at its next report, a running
    // engine gets SIGTERM and, still running after kEngineGrace, SIGKILL.
    // Every file written so far is kept. Any thread; returns at once. The
    // pipeline pushes the final "cancelled" state once it has stopped.
    void cancel();
    bool cancelRequested() const { return cancelled_.load(); }
    // Throws JobCancelled once cancel() has been called. Pipeline thread.
    void throwIfCancelled() const;
    static constexpr std::chrono::milliseconds kEngineGrace{5000};

    const std::string id;
    // When the job was admitted: files it made are no older (the
    // "remove_partials" request tells them from older leftovers by it).
    const std::chrono::system_clock::time_point admitted = std::chrono::system_clock::now();
    std::weak_ptr<Bridge> bridge;
    std::optional<EngineProcess> proc;  // written by the pipeline thread only (runUntrunc)
    // The RSV this job recovers, as "device:inode" (or its path when it cannot
    // be read): set by the request handler before the job starts, read on the
    // main thread to refuse a second job for the same file.
    std::string source;
    // A finished clip of the same camera lending what a recovery without a
    // reference cannot learn from the recording (empty: none). Set by the
    // request handler before the job starts; read by the engine run.
    std::string donor;
    // The engine's process while it runs, for cancel(). Shared with the
    // engine run.
    const std::shared_ptr<ChildHandle> engine = ChildHandle::create();

private:
    bool merge(const Value& changes, Estimate estimate, const std::string* whileStage);
    void stampTimes(Estimate estimate);  // under stateLock_

    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<bool> cancelled_{false};
    // Time and "pct" spent in steps of unknown length, and when the running one began.
    double unknownSeconds_ = 0, unknownPct_ = 0;
    std::optional<std::pair<std::chrono::steady_clock::time_point, double>> unknownSince_;
    mutable std::mutex stateLock_;
    Value state_;
    std::function<TimeLeft()> timeLeft_;  // under stateLock_
    std::optional<std::chrono::steady_clock::time_point> verifiedBy_;  // under stateLock_
};
