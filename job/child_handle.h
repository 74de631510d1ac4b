// A child process that another thread may stop, without ever signalling a
// stranger: the pid is signalled only while the child is known to exist and
// not yet to have been reaped (a reaped pid may already belong to another
// process).
//
// The spawner calls `started` once the child exists and `ended` once it has
// seen the child's end but before it reaps it (waitid with WNOWAIT). `stop`
// may come from any thread, before, during or after the run.
//
// Shared ownership: `stop` hands a reference to the thread that sends the
// late SIGKILL, so the handle may outlive the job that made it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

class ChildHandle : public std::enable_shared_from_this<ChildHandle> {
public:
    static std::shared_ptr<ChildHandle> create() { return std::shared_ptr<ChildHandle>(new ChildHandle); }

    void started(pid_t pid);
    void ended();

    // Asks the child and its process group to end: SIGTERM now and, should it still run after
    // `grace`, SIGKILL. A stop before `started` takes effect at the start
    // (the child is ended as soon as it exists). Returns at once.
    void stop(std::chrono::milliseconds grace);

    // True once stop has been asked for.
    bool stopping() const;

private:
    ChildHandle() = default;
    void signal(int sig);                              // under lock_
    void terminate(std::unique_lock<std::mutex>& hold);  // SIGTERM, then the late SIGKILL

    mutable std::mutex lock_;
    std::condition_variable endedCv_;
    pid_t pid_ = 0;
    bool live_ = false;
    bool stopping_ = false;
    std::chrono::milliseconds grace_{0};
};
