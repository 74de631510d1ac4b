// What a job writes beside its files so that later runs and the scan know
// what they are: a copy's record proves it is a complete copy of one very
// recording; a result's record ties a verified result to its recording.
//
// A record of "NAME" is the hidden file ".NAME.torvelin.json" in the same
// folder, written whole under a temporary name and renamed (WorkFolder).
// Pure functions but readSourceFacts, which reads the recording. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bridge/value.h"

// The recording a copy or a result came from.
struct SourceFacts {
    std::string path;
    int64_t size = 0;
    int64_t mtimeNs = 0;
    std::string hash;  // hex, over the first and the last MiB and the size
    std::string card;  // the card's volume name; empty when unknown
};

// The facts of the file at `path` (its first and last MiB are read); absent
// when it cannot be read.
std::optional<SourceFacts> readSourceFacts(const std::string& path, const std::string& card);

std::string recordName(const std::string& fileName);

// {"kind": "copy", "source_path", "source_size", "source_mtime_ns",
//  "source_hash", "card_name", "complete": true}
Value copyRecord(const SourceFacts& source);
// {"kind": "result", the source fields, "copy", "partial", "frames", "duration_s"}
Value resultRecord(const SourceFacts& source, const std::string& copyName, bool partial, int64_t frames,
                   double durationS);

// The record's source, when it is one of ours.
std::optional<SourceFacts> recordedSource(const Value& record);
// True when `recordText` is a complete copy's record of exactly `source`
// (size, modification time, hash and card; the path may differ, as a card is
// mounted elsewhere another day).
bool provesCopyOf(const std::string& recordText, const SourceFacts& source);
