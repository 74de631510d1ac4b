// Collects the samples of accepted groups into per-track sample tables and
// derives composition offsets, then lays out the new moov box.
//
// Memory: video keeps ~20 bytes per frame; rtmd and audio keep one entry per
// chunk. Thread: single-threaded. Errors: none thrown by add(); buildMoov()
// returns bytes.
#pragma once

#include "codec/nal.h"
#include "codec/param_sets.h"
#include "mp4/movie_boxes.h"
#include "mp4/reference.h"
#include "rsv/group_sink.h"
#include "rsv/one_group.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tv {

struct OutChunk {
    int64_t offset = 0;   // in the RSV
    uint32_t samples = 0;
    uint32_t bytes = 0;   // used when every chunk is one sample (variable-size audio)
    uint32_t ticks = 0;   // duration of that one sample
    // Sound lost to damage: zero bytes (silence for PCM) written after the
    // copied data; finish() points every such chunk at them.
    bool silence = false;
};

// A time range of one kind of track that damage took, in seconds of the
// recording (from its start, or from its first kept picture when the time
// before it is unknown).
struct LostRange {
    TrackKind kind = TrackKind::Other;
    double from = 0, to = 0;
};

struct OutTrack {
    int ref = -1;  // index into Reference::tracks
    TrackKind kind = TrackKind::Other;
    std::vector<OutChunk> chunks;
    uint64_t samples = 0;
    uint64_t mediaDuration = 0;   // media timescale
    int64_t compositionEnd = 0;   // latest composition time + duration (video: with ctts)
    std::vector<TimeRun> stts;    // durations, filled by finish()
    // Video only.
    std::vector<uint32_t> sizes;
    std::vector<uint32_t> syncSamples;  // 1-based
    std::vector<int64_t> slots;         // per frame, its picture index in the recording
    std::vector<int64_t> poc;           // per frame, when every frame parsed
    std::vector<uint32_t> periodStarts; // frame indices where a POC period starts
    bool pocKnown = true;
    std::vector<int64_t> ctts;          // filled by finish()
    int64_t editShift = 0;              // added to the reference's edit media time
    // Audio only.
    int64_t audioFrames = 0;
    bool oneSamplePerChunk = false;
};

class Assembly : public GroupSink {
public:
    Assembly(const Reference& ref, const StreamLayout& layout, const ParameterSets& ps);

    void add(const GroupResult& group) override;
    // The next group does not follow the previous one (bytes were skipped):
    // picture order counts restart their comparison there.
    // The lost pictures' time becomes a longer duration of the picture
    // before the gap, and silence of the exact length in every sound track.
    void markGap(int64_t lostPictures) override;
    // The time of pictures lost before the first group: every track starts
    // that much later in the movie (an empty edit), and the lost ranges are
    // counted from the recording's start.
    void markLead(int64_t lostPictures) override;
    WalkClock clock() const override { return clock_; }
    uint64_t videoFrames() const { return tracks_[videoOut_].samples; }
    size_t groups() const override { return groups_; }
    int64_t payloadEnd() const { return keptEnd_; }
    // Zero bytes to write right after the payload (the silence chunks').
    int64_t silenceBytes() const { return silenceBytes_; }
    const std::vector<LostRange>& lost() const { return lost_; }
    // Derives composition offsets (POC order, or the reference's pattern).
    // Returns a note for the log when the fallback was used.
    std::string finish();

    const std::vector<OutTrack>& tracks() const { return tracks_; }
    // Builds the moov: offsets map RSV offset o to o - dataStart + payloadBase;
    // chunk offsets above co64Threshold switch the track to co64.
    std::vector<uint8_t> buildMoov(int64_t dataStart, int64_t payloadBase,
                                   uint64_t co64Threshold) const;
    // Presentation duration of a track in seconds (for the log).
    double seconds(const OutTrack& t) const;

private:
    const Reference& ref_;
    const StreamLayout& layout_;
    PocCounter poc_;
    std::vector<OutTrack> tracks_;  // video, rtmd, then audio in stored order
    size_t videoOut_ = 0, rtmdOut_ = 1;
    WalkClock clock_;
    size_t groups_ = 0;
    int64_t keptEnd_ = 0;
    int64_t silenceBytes_ = 0;
    std::vector<LostRange> lost_;
    int64_t leadPictures_ = 0;
    // Pictures of the kept groups before the first kept picture (left out or
    // lost): the picture tracks start that much after the sound.
    int64_t pictureLead_ = 0;
    uint64_t leadTicks(const OutTrack& t) const;          // movie timescale
    uint64_t trackEditDuration(const OutTrack& t) const;  // movie timescale
    void addPictures(const GroupResult& g, int64_t base);
    void addSound(const GroupResult& g, int64_t base);
    void addSilence(size_t track, int64_t frames);
    void noteLost(TrackKind kind, int64_t fromPicture, int64_t toPicture);
    void placeByOrderCounts();
    void buildTimeTables();
    std::vector<uint8_t> editsFor(const OutTrack& t) const;
    TrackTables tablesFor(const OutTrack& t, int64_t dataStart, int64_t payloadBase) const;
};

}  // namespace tv
