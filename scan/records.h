// The records a recovery leaves beside what it wrote, read back by the scan
// so that a recording already recovered says so after a restart.
//
// Beside a complete copy: `.<copy name>.torvelin.json` {"kind": "copy", ...};
// beside a verified result: `.<result name>.torvelin.json` {"kind": "result",
// ...}. Both carry the source's size, modification time (ns) and card name,
// which is what ties a result to an RSV on a card (the card may be mounted
// elsewhere next time, so the path is not compared).
//
// Reads only: records are opened without following links and without
// blocking, at most kMaxRecordBytes each; a record that does not parse is
// passed over. Any thread; blocks on the file system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What identifies the recording a copy or result was made from.
struct SourceStamp {
    int64_t size = 0;
    int64_t mtimeNs = 0;
    std::string cardName;
    bool operator==(const SourceStamp& o) const {
        return size == o.size && mtimeNs == o.mtimeNs && cardName == o.cardName;
    }
};

struct ResultRecord {
    std::string path;  // the result file
    std::string name;
    int64_t size = 0;  // of the result file
    bool partial = false;
    SourceStamp source;
};

constexpr int64_t kMaxRecordBytes = 64 * 1024;

// The name of the record that describes `fileName`.
std::string recordNameFor(const std::string& fileName);

// Result records whose result file exists, in the work folders (names
// beginning with the work-folder prefix) directly inside `place`.
std::vector<ResultRecord> findResults(const std::string& place);

// The source of the complete copy at `copyPath`, from the copy record beside it.
std::optional<SourceStamp> copySource(const std::string& copyPath);

// True when a record of this application lies beside `path` (then the file is
// one of ours: a copy or a result, never a reference).
bool hasRecordBeside(int dirFd, const std::string& fileName);
