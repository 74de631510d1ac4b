#include "job/child_handle.h"

#include <signal.h>

#include <system_error>
#include <thread>

void ChildHandle::signal(int sig) {
    // The whole group: whatever the child started goes with it.
    if (live_ && pid_ > 0 && ::kill(-pid_, sig) != 0) ::kill(pid_, sig);
}

void ChildHandle::started(pid_t pid) {
    std::unique_lock<std::mutex> hold(lock_);
    pid_ = pid;
    live_ = true;
    if (stopping_) terminate(hold);  // asked to stop before it existed
}

void ChildHandle::ended() {
    std::lock_guard<std::mutex> hold(lock_);
    live_ = false;
    endedCv_.notify_all();
}

void ChildHandle::stop(std::chrono::milliseconds grace) {
    std::unique_lock<std::mutex> hold(lock_);
    if (stopping_) return;
    stopping_ = true;
    grace_ = grace;
    if (live_) terminate(hold);
}

void ChildHandle::terminate(std::unique_lock<std::mutex>& hold) {
    signal(SIGTERM);
    const std::chrono::milliseconds grace = grace_;
    hold.unlock();
    auto kill = [self = shared_from_this(), grace] {
        std::unique_lock<std::mutex> held(self->lock_);
        if (!self->endedCv_.wait_for(held, grace, [&] { return !self->live_; })) self->signal(SIGKILL);
    };
    try {
        std::thread(kill).detach();
    } catch (const std::system_error&) {
        // No thread to wait with: no grace either.
        std::lock_guard<std::mutex> held(lock_);
        signal(SIGKILL);
    }
}

bool ChildHandle::stopping() const {
    std::lock_guard<std::mutex> hold(lock_);
    return stopping_;
}
