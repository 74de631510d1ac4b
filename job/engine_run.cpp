#include "job/engine_run.h"

#include "bridge/resources.h"
#include "engine/base/engine_contract.h"
#include "job/child_process.h"
#include "job/job.h"
#include "job/failure_text.h"
#include "job/job_error.h"
#include "job/output_reader.h"
#include "job/rate.h"
#include "scan/fs_queries.h"

std::string exitMessage(int status) {
    return engineFailureText(status) + " (복구 엔진 종료 코드 " + std::to_string(status) + ")";
}

std::vector<std::string> runUntrunc(Job& job, const std::string& ref, const std::string& rsv,
                                    const std::string& out, const std::vector<std::pair<int, int>>& inherit, int64_t rsvSize,
                                    const std::function<void(const std::string&)>& onWritten,
                                    const std::function<void(Value&)>& bound) {
    std::optional<std::string> engine = resourcePath("untrunc");
    if (!engine) throw JobError("untrunc", 1, failure::kNoEngine);

    // Time left and speed over the engine's whole run (its walk and its
    // writing), measured against the RSV it works through.
    const RateEstimate rate(rsvSize >= 0 ? rsvSize : fileSize(rsv), monotonicSeconds());
    constexpr double kEngineSpan = engine_contract::kVerifyStart - engine_contract::kWalkBandStart;
    OutputReader reader([&job, &rate, &bound](const Value& changes) {
        Value merged = changes;
        // A search moves through no bytes, and how long the rest takes is
        // not known while it runs: neither a speed nor a time left.
        const bool searching = merged.contains("searching");
        merged.erase("searching");
        if (searching) {
            merged["rate_mb_s"] = nullptr;
        } else if (changes.contains("pct") && changes["pct"].is_number()) {
            const double done = (changes["pct"].get<double>() - engine_contract::kWalkBandStart) / kEngineSpan;
            merged.update(rate.at(done, monotonicSeconds()));
        }
        if (bound) bound(merged);
        // A search beside a running copy leaves the copy's pace to go on.
        const bool unknown = searching && merged.contains("pct");
        job.update(merged, unknown ? Job::Estimate::Unknown : Job::Estimate::FromPct);
    }, onWritten);
    ChildOptions options;
    options.inherit = inherit;
    options.executable = *engine;
    using namespace engine_contract;
    if (ref.empty()) {
        options.args = {kFlagNoQuestions, kFlagRsv, kFlagNoReference};
        if (!job.donor.empty()) options.args.insert(options.args.end(), {kFlagDonor, job.donor});
        options.args.insert(options.args.end(), {kFlagOutput, out, rsv});
    } else {
        options.args = {kFlagNoQuestions, kFlagRsv, kFlagOutput, out, ref, rsv};
    }
    options.onOutput = [&reader](const char* data, size_t size) { reader.feed(data, size); };
    options.onStarted = [&job](pid_t pid) { job.proc = EngineProcess{pid, std::nullopt}; };
    options.handle = job.engine;

    job.throwIfCancelled();
    const ChildResult result = runChild(options);
    if (result.end == ChildResult::End::NotStarted || result.end == ChildResult::End::Lost)
        throw JobError::system(result.error);
    if (job.proc) job.proc->waitStatus = result.waitStatus;

    // The lines travel apart from the message, for whoever helps the user.
    Value lines = Value::array();
    for (std::string& line : reader.takeLines()) lines.push_back(std::move(line));
    job.update(Value{{"log", std::move(lines)}});
    if (result.end == ChildResult::End::Stopped) throw JobCancelled{};

    std::vector<std::string> log = reader.takeLog();
    if (result.end == ChildResult::End::Exited && result.exitStatus == engine_contract::kExitSuccess) return log;
    throw JobError("untrunc", result.exitStatus, exitMessage(result.exitStatus));
}
