// The group walker: recognises one interleave group of an RSV at a given
// offset (rtmd run, video access units, audio chunks) and confirms it by the
// next group's rtmd header. It reads only headers through a ByteSource and
// never loads a group's media into memory.
//
// readOneGroup() is a pure step: "a group at offset X → its samples, or why not".
// The walk (resync_walk.h) decides what to do with failures: it skips the
// damage and resynchronises with findGroupStart(). Thread: one thread per walker.
// Errors: I/O errors from the source propagate as EngineError(Io).
#pragma once

#include "base/byte_source.h"
#include "codec/nal.h"
#include "codec/nal_units.h"
#include "codec/param_sets.h"
#include "mp4/reference.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tv {

struct StreamLayout {
    VideoCodec codec = VideoCodec::H264;
    int nalLengthSize = 4;
    uint32_t rtmdSize = 0;
    uint32_t videoTimescale = 0;
    uint32_t frameDuration = 0;
    // A NAL length above this is damage, not a unit cut by the end of the
    // file: a NAL unit is never larger than a picture, and pictures of one
    // camera setting stay within a small multiple of the reference's largest.
    int64_t maxNalSize = 64LL << 20;
    struct Audio {
        uint32_t bytesPerFrame = 0;
        uint32_t timescale = 0;  // ticks per second = sample frames per second
    };
    std::vector<Audio> audio;  // in stored order within a group

    static StreamLayout from(const Reference& ref);
    // Audio sample frames of one track for frames [framesBefore, framesBefore
    // + frames), given how many were placed before: exact integer arithmetic,
    // the remainder carried by deriving every group from the running totals.
    int64_t audioFramesFor(size_t track, int64_t framesBefore, int64_t frames,
                           int64_t placedBefore) const;
};

// Running totals a group's audio size depends on.
struct WalkClock {
    int64_t framesBefore = 0;
    std::vector<int64_t> audioBefore;  // sample frames per audio track
};

struct FrameInfo {
    int64_t offset = 0;
    uint32_t size = 0;
    bool key = false;
    int slices = 0;
    int slot = 0;          // position in the group's rtmd run (its picture index)
    int firstSliceType = -1;  // NAL unit type of the first slice
    std::optional<SliceInfo> slice;  // first slice header, when it parsed
};

struct AudioChunk {
    size_t track = 0;  // index into StreamLayout::audio
    int64_t offset = 0;
    int64_t frames = 0;  // sample frames
};

struct GroupResult {
    enum class Status { Complete, Cut, Failed };
    Status status = Status::Failed;
    std::string reason;  // why the group is cut or failed
    int64_t start = 0;
    int64_t end = 0;     // Complete: where the next group starts; otherwise walk stop
    bool atEnd = false;  // Complete and nothing but end-of-file or zeros follows
    int64_t rtmdOffset = 0;
    std::vector<FrameInfo> frames;  // complete frames (one rtmd sample each)
    std::vector<AudioChunk> audio;
    bool audioPartial = false;      // a cut group kept only part of its audio
    // Failed only because no rtmd header confirms the end: every picture is
    // whole (the last by its slice count) and the audio the arithmetic gives
    // lies in the file; frames and audio are filled, end = where it ends.
    // What follows is damage or trailing bytes, not a cut.
    bool endUnconfirmed = false;
    int64_t keptEnd = 0;            // end of the last byte any kept sample uses
    // Pictures of the group (its rtmd samples); frames may hold fewer when
    // damage took some (their slots say which are kept).
    int64_t slots = 0;
    // Damage took part of the group (salvage()): the slots without a kept
    // picture are lost, not cut; with audioLost its sound is too, and its
    // length is silence in the result.
    bool touched = false;
    // rtmd samples whose headers were damaged inside the run (kept as stored).
    int64_t damagedRtmd = 0;
    bool audioLost = false;
    // The rtmd header's timecode as a frame count (hh:mm:ss at the nominal
    // rate plus the frame field), when its fields are well formed.
    std::optional<int64_t> timecode;
};

class GroupWalker {
public:
    GroupWalker(const ByteSource& src, StreamLayout layout, const ParameterSets& ps)
        : src_(src), layout_(std::move(layout)), ps_(ps) {}

    GroupResult readOneGroup(int64_t offset, const WalkClock& clock) const;
    // Both rtmd markers at offset (a partial header at end-of-file counts if
    // what is there matches).
    bool rtmdAt(int64_t offset, bool allowPartial = false) const;
    // First offset in [from, limit) where a group walks (complete or cut;
    // with acceptUnconfirmed also a whole group whose end damage hides).
    // A marker right after another rtmd sample is never a start.
    std::optional<int64_t> findGroupStart(int64_t from, int64_t limit, const WalkClock& clock,
                                          bool acceptUnconfirmed = false) const;
    // Reads the group's pictures whole (not only their headers) and checks
    // that no NAL unit holds a byte pattern the emulation prevention of
    // H.264/H.265 rules out (00 00 00..02 inside, 00 at the end): zeroed
    // damage inside slice data shows this way. Costs a read of the group;
    // used only next to damage.
    bool picturesClean(const GroupResult& group) const;
    // What can be kept of a group that damage touched (Failed, or Cut with a
    // group after it). `next` is where the following verified group starts
    // when it is known to be the very next one. Keeps the pictures before the
    // damage whose NAL units are clean; and, when a chain of whole pictures
    // ends exactly where the group's sound must begin (next minus the sound's
    // size), that sound (the damage ended before it) and the chain's pictures
    // from a random-access picture on. Whatever else is lost is marked so
    // (audioLost; slots beyond the kept frames). Reads the damaged range once.
    GroupResult salvage(const GroupResult& touched, const WalkClock& clock, std::optional<int64_t> next) const;
    // Learns the slices-per-picture count from an accepted group; used to
    // judge the last picture before a cut.
    void learn(const GroupResult& group);
    int slicesPerPicture() const { return slicesPerPicture_; }
    // Whether `next` continues the H.264 frame_num sequence after the
    // reference picture `lastRef` (no reference picture between them lost);
    // nullopt when that cannot be told (H.265, headers that did not parse,
    // a stream allowed gaps in frame_num).
    std::optional<bool> continuesAfter(const FrameInfo& lastRef, const FrameInfo& next) const;
    const StreamLayout& layout() const { return layout_; }

private:
    using Nal = NalRead;
    struct PictureRead;
    Nal readNal(int64_t at) const;
    // The steps of readOneGroup: the NAL units of one picture after its
    // delimiter (the last picture also tries to close the group there); the
    // verdict when a picture ends neither at a delimiter nor at a confirmed
    // group end (cut or damage); and the group's kept end once it has one.
    PictureRead readPicture(int64_t from, FrameInfo& f, bool last, const std::vector<int64_t>& audioFrames,
                            bool* atEnd, int64_t limit = INT64_MAX) const;
    GroupResult endAtOpenPicture(GroupResult& g, FrameInfo& f, int64_t pos, int64_t i, bool last,
                                 const PictureRead& r, const std::vector<int64_t>& audioFrames) const;
    GroupResult finishGroup(GroupResult& g, GroupResult::Status s, std::string why, int64_t at) const;
    std::optional<int64_t> closesAt(int64_t p, const std::vector<int64_t>& audioFrames,
                                    std::vector<int64_t>* used, bool* atEnd) const;
    bool zeroTail(int64_t from) const;
    bool zerosAt(int64_t at, size_t n) const;
    int64_t damagedRtmdAt(int64_t pos) const;
    std::vector<int64_t> audioFramesOf(int64_t pictures, const WalkClock& clock) const;
    std::vector<FrameInfo> provenTail(int64_t from, int64_t to, int64_t maxPictures) const;
    bool frameClean(const FrameInfo& f) const;
    bool indexFollows(int64_t at) const;

    const ByteSource& src_;
    StreamLayout layout_;
    const ParameterSets& ps_;
    int slicesPerPicture_ = 0;  // 0 = not known (yet, or not constant)
    bool slicesVary_ = false;
};

}  // namespace tv
