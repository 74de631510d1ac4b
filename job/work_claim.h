// The names one recovery writes on the work volume, claimed so that nothing
// already there and no other job of this run is ever written over.
//
// Cameras restart their clip numbers on every card, and a recording may be
// recovered again (with another reference): the claim gives each job a copy
// name and a recovered-file name of its own. Names are decided under one
// process-wide lock and held until the claim is destroyed, so two jobs that
// start together can never pick the same ones; on disk every new file is
// then created exclusively (O_EXCL | O_NOFOLLOW), so a file that appears
// meanwhile is a clear failure, never overwritten.
//
// Threads: any (the pipeline's). Errors: JobError with a Korean message.
#pragma once

#include <string>

#include "job/paths.h"

class WorkClaim {
public:
    // Makes the work folder (refusing one that is a link), then claims:
    // - the RSV's copy: the first variant (A001.RSV, A001_2.RSV, ...) that is
    //   free, or that already holds this recording's complete copy (reused);
    //   a partial or foreign copy is left alone;
    // - the recovered file: the variant's "_fixed.MP4", or the next free
    //   "_fixed_N.MP4" when an earlier result is there.
    // An RSV already on the work volume (`inPlace`) claims no copy.
    WorkClaim(const std::string& rsvPath, const std::string& volRoot, bool inPlace);
    ~WorkClaim();
    WorkClaim(const WorkClaim&) = delete;
    WorkClaim& operator=(const WorkClaim&) = delete;

    const WorkPaths& paths() const { return paths_; }
    // The copy holds this recording completely already: no copying needed.
    bool reusesCopy() const { return reusesCopy_; }
    // The recovered file is not the first name: an earlier result is kept beside it.
    bool besideEarlierResult() const { return besideEarlier_; }

private:
    WorkPaths paths_;
    bool inPlace_;
    bool reusesCopy_ = false;
    bool besideEarlier_ = false;
};

// "<stem>_fixed.MP4" for n = 1, "<stem>_fixed_<n>.MP4" after it.
std::string recoveredName(const WorkPaths& paths, int n);
