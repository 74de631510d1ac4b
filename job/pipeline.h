// The whole recovery of one RSV: copy into the work folder, repair with the
// engine, verify the repaired file over its whole length, and only then give
// it its final name. Every outcome ends in the job's state.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bridge/value.h"
#include "job/copy.h"
#include "job/job.h"
#include "media/thumbnail.h"
#include "media/verify.h"

// What the pipeline uses to check the recovered file; tests put in fakes.
struct Verifier {
    std::function<Value(const std::string&)> probe;
    std::function<std::unique_ptr<MediaAsset>(const std::string&)> open;
    std::function<std::optional<std::string>(MediaAsset&, double)> thumbnail;
    std::function<std::optional<PictureCheck>(const std::string&, double budget, const std::function<bool()>& stop)>
        check;

    // probe, MediaAsset::open, thumbnailDataURL and checkPictures.
    static Verifier media();
};

// Seconds of decoding verification may always take, however quick the copy
// (key pictures one per kKeySpacingSeconds and the last group are decoded
// whatever the budget; the budget only adds pictures between them).
constexpr double kLeastVerifyBudget = 0.5;
// Verification's share of the copy's time beyond that: with opening the file
// and the pictures for the eye, about a tenth of the copy in all.
constexpr double kVerifyShareOfCopy = 0.05;
// The seconds of decoding verification is given after a copy that took
// `copySeconds`.
inline double verifyBudget(double copySeconds) {
    return std::max(kLeastVerifyBudget, kVerifyShareOfCopy * copySeconds);
}

// Runs the recovery and records it in `job` ("done", "error" or "cancelled"
// at the end). Never throws. Blocks: background thread only. `io` makes the
// copy (tests put in faults).
void runJob(Job& job, const std::string& rsvPath, const std::string& refPath, const std::string& volRoot);
void runJob(Job& job, const std::string& rsvPath, const std::string& refPath, const std::string& volRoot,
            const Verifier& verifier, const CopyIo& io = CopyIo::system());
