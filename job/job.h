// One recovery of one RSV file and the state the page sees of it.
//
// Ownership: the Bridge keeps every Job in `jobs` for the rest of the run; the
// background item running the pipeline and every scheduled push hold it too.
// The Job refers to its Bridge weakly: once the bridge is gone, pushes are
// dropped. Create it with std::make_shared (pushes hold it through
// shared_from_this).
//
// Threads: `update` may be called from any thread; merges are serialised by a
// mutex and each snapshot is pushed to window.__progress on the main queue in
// the order of the merges. `state()` returns a copy taken under that mutex.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/value.h"
#include "media/thumbnail.h"

// The engine process of a run: set once it has been started, kept afterwards.
struct EngineProcess {
    pid_t pid = 0;
    std::optional<int> waitStatus;  // raw status from waitpid once it has ended
};

// What the pipeline uses to check the recovered file; tests put in fakes.
struct Verifier {
    std::function<Value(const std::string&)> probe;
    std::function<std::unique_ptr<MediaAsset>(const std::string&)> open;
    std::function<std::optional<std::string>(MediaAsset&, double)> thumbnail;

    // probe, MediaAsset::open and thumbnailDataURL.
    static Verifier media();
};

class Job : public std::enable_shared_from_this<Job> {
public:
    // state = {"id": id, "stage": "queue", "pct": 0}; pushes nothing.
    Job(std::string id, const std::shared_ptr<Bridge>& bridge);

    // Merges `changes` (an object) into the state, replacing any earlier value
    // of a key, and schedules a push of the whole merged state. Does not wait.
    void update(const Value& changes);
    // A copy of the current state.
    Value state() const;
    // True until the state has reached "done" or "error".
    bool running() const;

    // Copies `src` to `dst` (created or truncated), reporting "pct" in
    // [basePct, basePct + spanPct] at most every 0.6 s. Throws JobError.
    void copyWithProgress(const std::string& src, const std::string& dst, double basePct, double spanPct);

    // Runs the engine on `rsv` with the reference `ref`, writing `out`, and
    // maps its progress into the state. Returns the engine log on exit
    // status 0; throws JobError otherwise. Blocks until the engine has ended
    // and its output has been read to the end.
    std::vector<std::string> runUntrunc(const std::string& ref, const std::string& rsv, const std::string& out);

    // The whole recovery; every outcome ends in the state ("done" or
    // "error"). Never throws. Blocks: background thread only.
    void run(const std::string& rsvPath, const std::string& refPath, const std::string& volRoot);
    void run(const std::string& rsvPath, const std::string& refPath, const std::string& volRoot,
             const Verifier& verifier);

    const std::string id;
    std::weak_ptr<Bridge> bridge;
    std::optional<EngineProcess> proc;  // written by the pipeline thread only
    // The RSV this job recovers, as "device:inode" (or its path when it cannot
    // be read): set by the request handler before the job starts, read on the
    // main thread to refuse a second job for the same file.
    std::string source;

private:
    mutable std::mutex stateLock_;
    Value state_;
};
