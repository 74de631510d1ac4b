// Reference candidates: finished recordings beside an RSV file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/value.h"

// File extensions (lower case) accepted for reference files. Set at start-up,
// before any scan runs; read-only afterwards.
extern std::vector<std::string> videoExts;

// A modification time at the file system's full precision.
struct Stamp {
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
};

// The current moment, for items whose date cannot be read.
Stamp stampNow();

// Size in bytes a reference must exceed.
constexpr int64_t kMinReferenceSize = 50'000'000;
// Most candidates offered per RSV.
constexpr size_t kMaxReferences = 5;

struct Candidate {
    std::string path;
    std::string name;
    int64_t size = 0;
    Stamp modified;
};

// The entries of `folder` (hidden ones included), in listing order, whose
// extension lower-cased is one of `videoExts`, whose stem is not one of our
// results (isRecoveredStem), that have no record of ours beside them, and whose size, read through links, is over
// kMinReferenceSize. Entries that vanish or cannot be read are dropped, and so
// are names that are not valid UTF-8. An unreadable folder gives an empty list.
// Reads attributes only; any thread.
std::vector<Candidate> listCandidates(const std::string& folder);

// The `limit` candidates closest in time to `rsvTime`, closest first. Equal
// distances, before or after the RSV, keep the order of `candidates`.
std::vector<Candidate> closestCandidates(const std::vector<Candidate>& candidates, Stamp rsvTime,
                                         size_t limit = kMaxReferences);

// The Reference entry {"path", "name", "size"}.
Value referenceEntry(const Candidate& candidate);
