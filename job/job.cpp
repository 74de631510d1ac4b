#include "job/job.h"

#include <cmath>

#include "bridge/queues.h"

namespace {

// Below this the whole job's pace says too little to estimate from.
constexpr double kSettleSeconds = 2.0;
constexpr double kLeastPct = 1.0;

bool finalStage(const std::string& stage) { return stage == "done" || stage == "error" || stage == "cancelled"; }

}  // namespace

Job::Job(std::string jobId, const std::shared_ptr<Bridge>& owner)
    : id(std::move(jobId)), bridge(owner), state_{{"id", id}, {"stage", "queue"}, {"pct", 0}} {}

void Job::update(const Value& changes) {
    Value snapshot;
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        if (changes.is_object())
            for (auto it = changes.begin(); it != changes.end(); ++it) state_[it.key()] = it.value();
        stampTimes();
        snapshot = state_;
        // Posting under the lock keeps the main queue in merge order even when
        // an output callback and the pipeline race to update.
        postMain([self = shared_from_this(), snapshot = std::move(snapshot)] {
            if (std::shared_ptr<Bridge> b = self->bridge.lock()) b->push("__progress", snapshot);
        });
    }
}

void Job::stampTimes() {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    state_["elapsed_s"] = static_cast<int64_t>(elapsed);
    const auto pct = state_.find("pct");
    const bool known = pct != state_.end() && pct->is_number() && !finalStage(state_.value("stage", "")) &&
                       elapsed >= kSettleSeconds && pct->get<double>() >= kLeastPct && pct->get<double>() < 100;
    if (!known) {
        state_.erase("eta_s");
        return;
    }
    // The bands of "pct" follow the time each step takes closely enough for
    // one straight line over the whole job.
    const double p = pct->get<double>();
    state_["eta_s"] = static_cast<int64_t>(std::ceil(elapsed * (100.0 - p) / p));
}

Value Job::state() const {
    std::lock_guard<std::mutex> hold(stateLock_);
    return state_;
}

bool Job::running() const {
    std::lock_guard<std::mutex> hold(stateLock_);
    return !finalStage(state_.value("stage", ""));
}

void Job::cancel() {
    cancelled_ = true;
    engine->stop(kEngineGrace);
}

void Job::throwIfCancelled() const {
    if (cancelled_) throw JobCancelled{};
}
