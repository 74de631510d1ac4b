// What an RSV tells about its own recording when no reference clip is at
// hand: where the media data starts, the codec (from the access unit
// delimiter), the rtmd sample size (from the first rtmd header), the frame
// rate and the audio layout. The rate's nominal value comes from the rtmd
// header; which of the candidate rates (N or N x 1000/1001) and which audio
// layout (one 16-bit stereo `twos` track, four 24-bit mono `ipcm` tracks, or
// none) it is follows from where the next group's rtmd header lies after the
// video: exact integer arithmetic, confirmed by the walker itself.
//
// Thread: caller's. Errors: EngineError(Input) when the file holds no
// camera groups; EngineError(ReferenceNeeded) when no candidate layout is
// confirmed by a whole group (the recording is too short to tell).
#pragma once

#include "base/byte_source.h"
#include "base/reporter.h"
#include "rsv/one_group.h"

#include <cstdint>
#include <vector>

namespace tv {

enum class AudioLayout { None, Twos, Ipcm4 };

struct RsvRecording {
    int64_t dataStart = 0;
    StreamLayout layout;
    AudioLayout audio = AudioLayout::None;
    // Pictures of the first confirmed groups (a GOP or more): where the
    // parameter sets and slice headers are read from.
    std::vector<FrameInfo> frames;
    std::vector<size_t> groupStarts;  // index into frames where each group starts
};

// The StreamLayout for one candidate (exposed for tests).
StreamLayout candidateLayout(VideoCodec codec, uint32_t rtmdSize, uint32_t timescale,
                             uint32_t frameDuration, AudioLayout audio);

// ps: parameter sets already known (in-band ones of the first picture),
// needed by H.265 to read slice addresses; may be empty for H.264.
RsvRecording learnRecording(const ByteSource& rsv, const ParameterSets& ps, Reporter& rep);

// The codec named by the access unit delimiter right after the first rtmd
// run, and the offset of that delimiter. Errors as learnRecording.
std::pair<VideoCodec, int64_t> firstPicture(const ByteSource& rsv, int64_t dataStart,
                                            uint32_t* rtmdSize);
// Where the media data begins (offset 0 or after a reference-style header).
int64_t rsvDataStart(const ByteSource& rsv);

}  // namespace tv
