#include "rsv/resync_walk.h"

#include "base/errors.h"

#include <algorithm>
#include <optional>

namespace tv {

WalkSummary walkResynchronising(const ByteSource& src, GroupWalker& walker, GroupSink& sink, int64_t start,
                       Reporter& rep, bool verbose, int64_t firstWindow) {
    using Status = GroupResult::Status;
    const int64_t size = src.size();
    DamageLog log;
    int64_t pos = start;
    double lastShown = -1;

    // Groups confirmed by the next group's header: until one is, a group
    // whose end nothing confirms may be read with another camera setting's
    // audio sizes (a mismatched reference) and is not taken.
    int64_t confirmed = 0;
    std::optional<GroupResult> pending;  // a first group waiting for that proof
    bool gap = false;                    // bytes were skipped since the last group
    auto accept = [&](const GroupResult& g) {
        if (pending) {
            sink.add(*pending);
            pending.reset();
        }
        if (gap && sink.groups() > 0) sink.markDiscontinuity();
        gap = false;
        sink.add(g);
    };
    // Skips [pos, next verifiable group start) or, when none follows, the
    // rest of the file. Returns false when the walk is over.
    auto resync = [&](int64_t from, int64_t limit, const std::string& reason) {
        auto found = walker.findGroupStart(from, limit, sink.clock(), confirmed > 0);
        if (!found) {
            rep.info(log.skip(pos, size - pos, reason + "; no verifiable group follows, not recovered"));
            return false;
        }
        rep.info(log.skip(pos, *found - pos, reason));
        gap = true;
        pos = *found;
        return true;
    };

    while (true) {
        GroupResult g = walker.readOneGroup(pos, sink.clock());
        if (g.status == Status::Failed && g.endUnconfirmed && !pending &&
            (confirmed > 0 || sink.groups() == 0) && walker.picturesClean(g)) {
            // A whole group followed by damage (or by trailing bytes): keep
            // it and resynchronise after it. The very first group waits for
            // a confirmed group to prove its audio sizes right.
            if (confirmed > 0) accept(g);
            else pending = g;
            rep.info("the group at offset " + std::to_string(g.start) +
                     " is whole but no group header confirms its end: damage follows");
            pos = g.end;
            const int64_t limit = confirmed > 0 ? size : std::min(size, pos + firstWindow);
            if (pos >= size || !resync(pos, limit, "no group header after the group ending here")) break;
            continue;
        }
        if (g.status == Status::Failed) {
            if (sink.groups() == 0 && confirmed == 0) {
                // Damage at the very start, or a reference from another
                // camera setting: only a group that verifies further on
                // tells the two apart.
                auto found = walker.findGroupStart(pos + 1, std::min(size, pos + firstWindow), sink.clock());
                if (!found)
                    throw EngineError(EngineError::Kind::ReferenceMismatch,
                                      "the RSV's stream does not match the reference (" + g.reason + ")");
                rep.info(log.skip(pos, *found - pos, g.reason));
                gap = true;
                pos = *found;
                continue;
            }
            // Searching from just after the failed start (not from where the
            // walk stopped) finds a group whose start the damage made look
            // like part of the failed one.
            if (!resync(pos + 1, size, g.reason)) break;
            continue;
        }
        if (g.status == Status::Cut) {
            // A cut is the end of the recording only if no group follows; a
            // NAL length that runs past the end of the file can be damage.
            if (g.end < size) {
                if (auto found = walker.findGroupStart(std::max(g.end, pos + 1), size, sink.clock(),
                                                       confirmed > 0)) {
                    rep.info(log.skip(pos, *found - pos, "a damaged group: " + g.reason));
                    gap = true;
                    pos = *found;
                    continue;
                }
            }
            // A cut group confirms nothing: a first group taken on trust
            // with nothing confirmed since is no proof the audio sizes fit.
            if (pending && confirmed == 0) break;
            accept(g);
            if (!g.frames.empty())
                rep.info("the last group is incomplete (" + g.reason + "); kept its " +
                         std::to_string(g.frames.size()) + " complete frames" +
                         (g.audioPartial ? " and the audio that is there" : ""));
            else if (g.reason != "end of file")
                rep.info("the last group is incomplete (" + g.reason + "); none of its frames is complete");
            break;
        }
        accept(g);
        ++confirmed;
        walker.learn(g);
        if (verbose)
            rep.info("group at offset " + std::to_string(g.start) + ": " + std::to_string(g.frames.size()) +
                     " frames");
        pos = g.end;
        if (g.atEnd) break;
        double pct = size ? 100.0 * double(pos) / double(size) : 100.0;
        if (pct - lastShown >= 0.5) {
            rep.progress(pct);
            lastShown = pct;
        }
    }
    if (pending && sink.groups() == 0)
        throw EngineError(EngineError::Kind::ReferenceMismatch,
                          "the RSV's stream does not match the reference (" + pending->reason + ")");
    if (log.ranges() > 0) rep.info(log.totals());
    return {log.ranges(), log.bytes()};
}

}  // namespace tv
