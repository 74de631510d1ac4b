// The whole recovery of one RSV: copy into the work folder, repair with the
// engine, verify the recovered file. Every outcome ends in the job's state.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bridge/value.h"
#include "job/job.h"
#include "media/thumbnail.h"

// What the pipeline uses to check the recovered file; tests put in fakes.
struct Verifier {
    std::function<Value(const std::string&)> probe;
    std::function<std::unique_ptr<MediaAsset>(const std::string&)> open;
    std::function<std::optional<std::string>(MediaAsset&, double)> thumbnail;

    // probe, MediaAsset::open and thumbnailDataURL.
    static Verifier media();
};

// Runs the recovery and records it in `job` ("done" or "error" at the end).
// Never throws. Blocks: background thread only.
void runJob(Job& job, const std::string& rsvPath, const std::string& refPath, const std::string& volRoot);
void runJob(Job& job, const std::string& rsvPath, const std::string& refPath, const std::string& volRoot,
            const Verifier& verifier);
