#include "job/job.h"

#include "bridge/queues.h"

Job::Job(std::string jobId, const std::shared_ptr<Bridge>& owner)
    : id(std::move(jobId)), bridge(owner), state_{{"id", id}, {"stage", "queue"}, {"pct", 0}} {}

void Job::update(const Value& changes) {
    Value snapshot;
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        if (changes.is_object())
            for (auto it = changes.begin(); it != changes.end(); ++it) state_[it.key()] = it.value();
        snapshot = state_;
        // Posting under the lock keeps the main queue in merge order even when
        // an output callback and the pipeline race to update.
        postMain([self = shared_from_this(), snapshot = std::move(snapshot)] {
            if (std::shared_ptr<Bridge> b = self->bridge.lock()) b->push("__progress", snapshot);
        });
    }
}

Value Job::state() const {
    std::lock_guard<std::mutex> hold(stateLock_);
    return state_;
}

bool Job::running() const {
    std::lock_guard<std::mutex> hold(stateLock_);
    const std::string stage = state_.value("stage", "");
    return stage != "done" && stage != "error" && stage != "cancelled";
}

void Job::cancel() {
    cancelled_ = true;
    engine->stop(kEngineGrace);
}

void Job::throwIfCancelled() const {
    if (cancelled_) throw JobCancelled{};
}
