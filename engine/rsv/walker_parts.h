// The walker's own record of one picture read, shared by
// the files that implement GroupWalker. Not for other callers.
#pragma once

#include "rsv/one_group.h"

#include <cstddef>
#include <utility>
#include <vector>

namespace tv {

// Enough of a NAL unit for its slice header or a few SEI messages.
constexpr size_t kNalWindow = 256;

// What reading one picture's NAL units after its delimiter found.
struct GroupWalker::PictureRead {
    int64_t end = 0;                                 // after the last NAL unit taken in
    std::vector<std::pair<int64_t, int>> boundaries; // (offset after a NAL, slices so far)
    bool closed = false;          // the last picture ends where the group's audio confirms its end
    bool nextAud = false;         // another picture's delimiter follows
    bool pictureFollows = false;  // the read stopped at another picture's NAL unit
    Nal::State stop = Nal::State::Ok;
    std::vector<int64_t> usedAudio;  // closed: the audio sample frames per track
    int64_t groupEnd = 0;            // closed: where the next group starts
};

}  // namespace tv
