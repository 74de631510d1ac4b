#include "job/job.h"

#include <algorithm>
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

void Job::update(const Value& changes, Estimate estimate) { merge(changes, estimate, nullptr); }

bool Job::updateWhile(const std::string& stage, const Value& changes) {
    return merge(changes, Estimate::FromPct, &stage);
}

bool Job::merge(const Value& changes, Estimate estimate, const std::string* whileStage) {
    Value snapshot;
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        if (whileStage && state_.value("stage", "") != *whileStage) return false;
        if (changes.is_object())
            for (auto it = changes.begin(); it != changes.end(); ++it) state_[it.key()] = it.value();
        stampTimes(estimate);
        snapshot = state_;
        // Posting under the lock keeps the main queue in merge order even when
        // an output callback and the pipeline race to update.
        postMain([self = shared_from_this(), snapshot = std::move(snapshot)] {
            if (std::shared_ptr<Bridge> b = self->bridge.lock()) b->push("__progress", snapshot);
        });
    }
    return true;
}

void Job::stampTimes(Estimate estimate) {
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - started_).count();
    state_["elapsed_s"] = static_cast<int64_t>(elapsed);
    const auto pct = state_.find("pct");
    const double p = pct != state_.end() && pct->is_number() ? pct->get<double>() : 0;
    if (estimate == Estimate::Unknown) {
        if (!unknownSince_) unknownSince_.emplace(now, p);
        state_.erase("eta_s");
        return;
    }
    if (unknownSince_) {
        unknownSeconds_ += std::chrono::duration<double>(now - unknownSince_->first).count();
        unknownPct_ += std::max(0.0, p - unknownSince_->second);
        unknownSince_.reset();
    }
    const double known = elapsed - unknownSeconds_, done = p - unknownPct_;
    const std::string stage = state_.value("stage", "");
    if (timeLeft_ && (stage == "copy" || stage == "recover")) {
        const TimeLeft left = timeLeft_();
        if (left.kind == TimeLeft::Kind::Seconds) {
            state_["eta_s"] = static_cast<int64_t>(std::ceil(left.seconds));
            return;
        }
        if (left.kind == TimeLeft::Kind::NotYet) {
            state_.erase("eta_s");
            return;
        }
    }
    if (stage == "verify" && verifiedBy_) {
        const double left = std::chrono::duration<double>(*verifiedBy_ - now).count();
        state_["eta_s"] = static_cast<int64_t>(std::max(1.0, std::ceil(left)));
        return;
    }
    if (!(pct != state_.end() && pct->is_number()) || finalStage(stage) || known < kSettleSeconds ||
        done < kLeastPct || p >= 100) {
        state_.erase("eta_s");
        return;
    }
    // The bands of "pct" follow the time each step takes closely enough for
    // one straight line over the whole job, steps of unknown length left out.
    state_["eta_s"] = static_cast<int64_t>(std::ceil(known * (100.0 - p) / done));
}

void Job::expectVerification(double seconds) {
    std::lock_guard<std::mutex> hold(stateLock_);
    verifiedBy_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                         std::chrono::duration<double>(std::max(seconds, 0.0)));
}

void Job::estimateWith(std::function<TimeLeft()> source) {
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        std::swap(timeLeft_, source);
    }
    // The previous source ends here, outside the lock.
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
