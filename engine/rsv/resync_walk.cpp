#include "rsv/resync_walk.h"

#include "base/errors.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace tv {
namespace {

using Status = GroupResult::Status;

// One walk's state: where it stands, what the accepted groups proved
// (confirmed ends, timecodes that advance with the pictures, bytes per
// picture) and the account of skipped ranges.
class ResyncWalk {
public:
    ResyncWalk(const ByteSource& src, GroupWalker& walker, GroupSink& sink, Reporter& rep, bool verbose,
               int64_t firstWindow)
        : src_(src), walker_(walker), sink_(sink), rep_(rep), verbose_(verbose), firstWindow_(firstWindow),
          size_(src.size()) {}

    WalkSummary run(int64_t start);

private:
    bool step(GroupResult& g);
    bool onWhole(const GroupResult& g);
    bool onDamaged(const GroupResult& g, int64_t searchFrom, const std::string& reason);
    bool onFirstFailed(const GroupResult& g);
    bool onCut(const GroupResult& g);
    void onComplete(const GroupResult& g);
    bool resync(int64_t from, int64_t limit, const std::string& reason);
    void accept(const GroupResult& g);
    void keep(const GroupResult& g);
    GroupResult withoutOrphans(const GroupResult& g);
    GroupResult judged(const GroupResult& g);
    int64_t lostBefore(const GroupResult& next) const;
    bool adjacent(const GroupResult& g, int64_t next) const;
    void skipTo(int64_t from, int64_t to, const std::string& reason);

    const ByteSource& src_;
    GroupWalker& walker_;
    GroupSink& sink_;
    Reporter& rep_;
    const bool verbose_;
    const int64_t firstWindow_, size_;
    DamageLog log_;
    int64_t pos_ = 0;
    double lastShown_ = -1;
    // Groups confirmed by the next group's header: until one is, a group
    // whose end nothing confirms may be read with another camera setting's
    // audio sizes (a mismatched reference) and is not taken.
    int64_t confirmed_ = 0;
    std::optional<GroupResult> pending_;  // a first group waiting for that proof
    bool gap_ = false;                    // bytes were skipped since the last group
    // The last group kept: its start, pictures and timecode, for the time a gap after it lost.
    std::optional<int64_t> lastStart_, lastTimecode_;
    int64_t lastSlots_ = 0;
    // Timecodes of adjacent whole groups that advanced by the pictures between them, and that did not.
    int64_t timecodeSteps_ = 0, timecodeJumps_ = 0;
    int64_t wholeBytes_ = 0, wholePictures_ = 0;
    std::optional<int64_t> followsKept_;  // a group start proven to follow the last kept group
    // The picture chain: the last reference picture kept, whether a key
    // picture was seen, and whether pictures since the last one were lost
    // (what follows may refer to them until the next key picture).
    std::optional<FrameInfo> lastRef_;
    bool sawKey_ = false, chainBroken_ = false;
    // Whether a picture that decodes on its own was kept: before one, a
    // predicted picture refers to pictures lost or never recorded (damage at
    // the start, or a recording that begins inside a GOP).
    bool started_ = false;
    // Whether the last key picture began the decoding afresh (the stream's
    // first, or the first after lost pictures): the H.265 pictures that
    // follow it but refer to pictures before it (RASL) cannot decode.
    bool keyBeganAfresh_ = false;
    // The media data's start and the timecode of the group read there; the
    // first group kept when damage took the ones before it.
    int64_t start_ = 0;
    std::optional<int64_t> startTimecode_;
    std::optional<GroupResult> firstKept_;
    int64_t leadPictures() const;
};

// Pictures whose time lay before the first kept group: by the rtmd
// timecodes (the first group's header survived and they advanced with the
// pictures), else by the bytes before it at the stream's bytes per picture.
int64_t ResyncWalk::leadPictures() const {
    if (timecodeSteps_ > timecodeJumps_ && startTimecode_ && firstKept_->timecode)
        return std::max<int64_t>(0, *firstKept_->timecode - *startTimecode_);
    if (wholePictures_ == 0) return 0;
    return std::llround(double(firstKept_->start - start_) * double(wholePictures_) / double(wholeBytes_));
}

// Groups are a fixed run of frames, not GOPs, on long-GOP bodies: a group
// after lost pictures may begin inside a GOP whose earlier pictures are
// gone, and its pictures up to the next key picture would decode as
// garbage. They are left out (their time kept as lost); the group's sound
// and whatever follows the key picture stay. A stream that never marks a
// key picture cannot be judged and is kept as it is.
GroupResult ResyncWalk::withoutOrphans(const GroupResult& g) {
    bool lost = chainBroken_;
    if (sink_.groups() > 0 && !g.frames.empty()) {
        const auto goesOn = lastRef_ ? walker_.continuesAfter(*lastRef_, g.frames.front()) : std::nullopt;
        if (goesOn) lost = lost || !*goesOn;
        else if (gap_ && lostBefore(g) > 0) lost = true;
    }
    const bool judge = sawKey_ || std::any_of(g.frames.begin(), g.frames.end(), [](const FrameInfo& f) { return f.key; });
    GroupResult k = g;
    k.frames.clear();
    int64_t expect = 0;
    for (const FrameInfo& f : g.frames) {
        if (f.slot != expect) lost = true;
        expect = f.slot + 1;
        if (f.key) {
            keyBeganAfresh_ = lost || !started_;
            lost = false;
        }
        const bool beforeStart = !started_ && !f.key && f.slice && f.slice->predicted;
        const bool orphanedLeading = keyBeganAfresh_ && (f.firstSliceType == 8 || f.firstSliceType == 9);
        if (beforeStart || (lost && judge) || orphanedLeading) {
            k.touched = true;
            continue;
        }
        started_ = true;
        sawKey_ = sawKey_ || f.key;
        if (f.slice && f.slice->nal.refIdc != 0) lastRef_ = f;
        k.frames.push_back(f);
    }
    if (g.touched && expect < g.slots) lost = true;
    chainBroken_ = lost;
    if (k.touched && !g.touched) {
        // Its sound is whole; a cut group's pictures after the cut were never recorded.
        k.audioLost = false;
        k.slots = g.frames.back().slot + 1;
    }
    return k;
}

void ResyncWalk::keep(const GroupResult& g) {
    if (sink_.groups() == 0 && g.start > start_) firstKept_ = g;
    sink_.add(g);
    lastStart_ = g.start;
    lastTimecode_ = g.timecode;
    lastSlots_ = g.touched ? g.slots : int64_t(g.frames.size());
}

GroupResult ResyncWalk::judged(const GroupResult& g) {
    GroupResult k = withoutOrphans(g);
    if (k.frames.size() < g.frames.size())
        rep_.info("left out " + std::to_string(g.frames.size() - k.frames.size()) + " pictures of the group at offset " +
                  std::to_string(g.start) + ": they refer to lost pictures before the next key picture");
    return k;
}

void ResyncWalk::accept(const GroupResult& g) {
    if (pending_) {
        keep(judged(*pending_));
        pending_.reset();
    }
    const GroupResult k = judged(g);
    if (gap_ && sink_.groups() > 0) sink_.markGap(lostBefore(g));
    gap_ = false;
    keep(k);
}

// Pictures whose time lies between the last kept group and `next`: by the
// rtmd timecodes when they have advanced with the pictures so far, else by
// the bytes between the two at the stream's bytes per picture.
int64_t ResyncWalk::lostBefore(const GroupResult& next) const {
    if (!lastStart_ || followsKept_ == next.start) return 0;
    if (timecodeSteps_ > timecodeJumps_ && lastTimecode_ && next.timecode)
        return std::max<int64_t>(0, *next.timecode - *lastTimecode_ - lastSlots_);
    if (wholePictures_ == 0) return 0;
    const double perPicture = double(wholeBytes_) / double(wholePictures_);
    return std::max<int64_t>(0, std::llround(double(next.start - *lastStart_) / perPicture) - lastSlots_);
}

// Whether the group verified at `next` is the one right after `g`.
bool ResyncWalk::adjacent(const GroupResult& g, int64_t next) const {
    GroupResult n = walker_.readOneGroup(next, sink_.clock());
    if (timecodeSteps_ > timecodeJumps_ && g.timecode && n.timecode) return *n.timecode - *g.timecode == g.slots;
    if (wholePictures_ == 0) return false;
    const double perPicture = double(wholeBytes_) / double(wholePictures_);
    return std::abs(std::llround(double(next - g.start) / perPicture) - g.slots) * 2 < g.slots;
}

void ResyncWalk::skipTo(int64_t from, int64_t to, const std::string& reason) {
    rep_.info(log_.skip(from, to - from, reason));
    gap_ = true;
    pos_ = to;
}

// Skips to the next verifiable group start in [from, limit) or, when none
// follows, to the end. Returns false when the walk is over.
bool ResyncWalk::resync(int64_t from, int64_t limit, const std::string& reason) {
    auto found = walker_.findGroupStart(from, limit, sink_.clock(), confirmed_ > 0);
    if (!found) {
        rep_.info(log_.skip(pos_, size_ - pos_, reason + "; no verifiable group follows, not recovered"));
        return false;
    }
    skipTo(pos_, *found, reason);
    return true;
}

// A whole group followed by damage (or by trailing bytes): kept, and the
// walk resynchronises after it. The very first group waits for a confirmed
// group to prove its audio sizes right. A group verifying inside its sound
// means bytes are missing there (a hole): the pictures stay, the sound that
// cannot be placed becomes silence.
bool ResyncWalk::onWhole(const GroupResult& g) {
    const int64_t videoEnd = g.frames.back().offset + g.frames.back().size;
    if (confirmed_ > 0) {
        if (auto early = walker_.findGroupStart(videoEnd, g.end, sink_.clock(), true)) {
            GroupResult s = g;
            s.audio.clear();
            s.endUnconfirmed = false;
            s.touched = s.audioLost = true;
            accept(s);
            followsKept_ = *early;
            skipTo(videoEnd, *early, "the group's sound is shorter than its pictures need (bytes missing)");
            return true;
        }
        accept(g);
    } else {
        pending_ = g;
    }
    rep_.info("the group at offset " + std::to_string(g.start) +
              " is whole but no group header confirms its end: damage follows");
    pos_ = g.end;
    const int64_t limit = confirmed_ > 0 ? size_ : std::min(size_, pos_ + firstWindow_);
    return pos_ < size_ && resync(pos_, limit, "no group header after the group ending here");
}

// A group that damage touched: what of it verifies is kept (salvage), the
// rest skipped to the next group that verifies.
bool ResyncWalk::onDamaged(const GroupResult& g, int64_t searchFrom, const std::string& reason) {
    auto found = walker_.findGroupStart(searchFrom, size_, sink_.clock(), confirmed_ > 0);
    const std::optional<int64_t> next = found && adjacent(g, *found) ? found : std::nullopt;
    GroupResult s = walker_.salvage(g, sink_.clock(), next);
    // The damaged range: from the first byte not kept to the next kept one.
    int64_t from = pos_;
    size_t i = 0;
    for (; i < s.frames.size() && s.frames[i].slot == int(i); ++i) from = s.frames[i].offset + s.frames[i].size;
    int64_t to = found ? *found : size_;
    if (i < s.frames.size()) to = s.frames[i].offset;
    else if (!s.audio.empty()) to = s.audio.front().offset;
    if (!s.frames.empty() || !s.audio.empty()) {
        accept(s);
        if (next) followsKept_ = *next;
        rep_.info("kept " + std::to_string(s.frames.size()) + " of the " + std::to_string(s.slots) +
                  " pictures of the damaged group at offset " + std::to_string(g.start) +
                  (s.audioLost ? ", its sound lost" : " and its sound"));
    }
    if (!found) {
        rep_.info(log_.skip(from, size_ - from, reason + "; no verifiable group follows, not recovered"));
        return false;
    }
    skipTo(from, to, reason);
    pos_ = *found;
    return true;
}

// Damage at the very start, or a reference from another camera setting:
// only a group that verifies further on tells the two apart.
bool ResyncWalk::onFirstFailed(const GroupResult& g) {
    auto found = walker_.findGroupStart(pos_ + 1, std::min(size_, pos_ + firstWindow_), sink_.clock());
    if (!found)
        throw EngineError(EngineError::Kind::ReferenceMismatch,
                          "the RSV's stream does not match the reference (" + g.reason + ")");
    skipTo(pos_, *found, g.reason);
    chainBroken_ = true;  // the first pictures are lost
    return true;
}

// A cut is the end of the recording only if no group follows; a NAL length
// that runs past the end of the file can be damage.
bool ResyncWalk::onCut(const GroupResult& g) {
    if (g.end < size_ && walker_.findGroupStart(std::max(g.end, pos_ + 1), size_, sink_.clock(), confirmed_ > 0))
        return onDamaged(g, std::max(g.end, pos_ + 1), "a damaged group: " + g.reason);
    // A cut group confirms nothing: a first group taken on trust with
    // nothing confirmed since is no proof the audio sizes fit.
    if (pending_ && confirmed_ == 0) return false;
    accept(g);
    if (!g.frames.empty())
        rep_.info("the last group is incomplete (" + g.reason + "); kept its " + std::to_string(g.frames.size()) +
                  " complete frames" + (g.audioPartial ? " and the audio that is there" : ""));
    else if (g.reason != "end of file")
        rep_.info("the last group is incomplete (" + g.reason + "); none of its frames is complete");
    return false;
}

void ResyncWalk::onComplete(const GroupResult& g) {
    if (!gap_ && lastStart_ && lastTimecode_ && g.timecode) {
        if (*g.timecode == *lastTimecode_ + lastSlots_) ++timecodeSteps_;
        else ++timecodeJumps_;
    }
    if (g.damagedRtmd > 0)
        rep_.info("the group at offset " + std::to_string(g.start) + " has " + std::to_string(g.damagedRtmd) +
                  " damaged rtmd samples; kept as stored");
    wholeBytes_ += g.end - g.start;
    wholePictures_ += int64_t(g.frames.size());
    accept(g);
    ++confirmed_;
    walker_.learn(g);
    if (verbose_)
        rep_.info("group at offset " + std::to_string(g.start) + ": " + std::to_string(g.frames.size()) + " frames");
    pos_ = g.end;
    const double pct = size_ ? 100.0 * double(pos_) / double(size_) : 100.0;
    if (pct - lastShown_ >= 0.5) {
        rep_.progress(pct);
        lastShown_ = pct;
    }
}

// One group's verdict; false when the walk is over.
bool ResyncWalk::step(GroupResult& g) {
    if (g.status == Status::Failed && g.endUnconfirmed && !pending_ && (confirmed_ > 0 || sink_.groups() == 0) &&
        walker_.picturesClean(g))
        return onWhole(g);
    if (g.status == Status::Failed) {
        if (sink_.groups() == 0 && confirmed_ == 0) return onFirstFailed(g);
        // Searching from just after the failed start (not from where the
        // walk stopped) finds a group whose start the damage made look like
        // part of the failed one.
        return onDamaged(g, pos_ + 1, g.reason);
    }
    if (g.status == Status::Cut) return onCut(g);
    onComplete(g);
    return !g.atEnd;
}

WalkSummary ResyncWalk::run(int64_t start) {
    pos_ = start_ = start;
    while (true) {
        GroupResult g = walker_.readOneGroup(pos_, sink_.clock());
        if (pos_ == start_) startTimecode_ = g.timecode;
        if (!step(g)) break;
    }
    if (pending_ && sink_.groups() == 0)
        throw EngineError(EngineError::Kind::ReferenceMismatch,
                          "the RSV's stream does not match the reference (" + pending_->reason + ")");
    if (firstKept_) sink_.markLead(leadPictures());
    if (log_.ranges() > 0) rep_.info(log_.totals());
    return {log_.ranges(), log_.bytes()};
}

}  // namespace

WalkSummary walkResynchronising(const ByteSource& src, GroupWalker& walker, GroupSink& sink, int64_t start,
                                Reporter& rep, bool verbose, int64_t firstWindow) {
    return ResyncWalk(src, walker, sink, rep, verbose, firstWindow).run(start);
}

}  // namespace tv
