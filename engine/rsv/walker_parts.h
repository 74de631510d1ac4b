// The walker's own records of one NAL unit and one picture read, shared by
// the files that implement GroupWalker. Not for other callers.
#pragma once

#include "rsv/one_group.h"

#include <cstddef>
#include <utility>
#include <vector>

namespace tv {

// Enough of a NAL unit for its slice header or a few SEI messages.
constexpr size_t kNalWindow = 256;

struct GroupWalker::Nal {
    enum class State { Ok, Eof, Truncated, Invalid, Beyond };
    State state = State::Eof;
    int64_t offset = 0, end = 0;
    NalHeader header;
    std::vector<uint8_t> head;  // from the NAL header on, at most kNalWindow bytes
};

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
