// The names one recovery writes in the work folder, claimed so that nothing
// already there and no other job of this run is ever written over.
//
// Cameras restart their clip numbers on every card, and a recording may be
// recovered again (with another reference): the claim gives each job a copy
// name and a result name of its own. A name counts as taken when anything in
// the folder is called by it or begins with it and a dot (the unfinished
// ".partial" files of a job or the engine, ".partial-N"), or when its hidden
// record is there. Names are decided under one process-wide lock and held
// until the claim is destroyed, so two jobs that start together never pick
// the same ones; on disk every new file is then created exclusively, so a
// file that appears meanwhile is a clear failure, never overwritten.
//
// Threads: any (the pipeline's). Errors: JobError with a Korean sentence.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "job/paths.h"
#include "job/records.h"
#include "job/work_folder.h"

class WorkClaim {
public:
    // Claims in `folder`:
    // - unless `inPlace`, the RSV's copy: the first variant that is free, or
    //   whose copy a record proves to be this very recording (`source`),
    //   complete (reused); anything else is left alone;
    // - the result: the variant's "_fixed.MP4", or the next free
    //   "_fixed_N.MP4" when an earlier result is there.
    // `stem` and `ext` come from workStem and extensionOf.
    WorkClaim(const WorkFolder& folder, const std::string& stem, const std::string& ext, bool inPlace,
              const std::optional<SourceFacts>& source);
    ~WorkClaim();
    WorkClaim(const WorkClaim&) = delete;
    WorkClaim& operator=(const WorkClaim&) = delete;

    const WorkNames& names() const { return names_; }
    bool reusesCopy() const { return reusesCopy_; }
    // The result is not the first name: an earlier result is kept beside it.
    bool besideEarlierResult() const { return besideEarlier_; }

private:
    std::string key(const std::string& name) const { return folderKey_ + name; }

    std::string folderKey_;
    WorkNames names_;
    bool inPlace_;
    bool reusesCopy_ = false;
    bool besideEarlier_ = false;
};
