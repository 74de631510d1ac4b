// Pictures of one slice segment name no address, so nothing in their
// headers pins the picture size, and libavcodec decodes them under a wrong
// size without a complaint: a slice runs on into the decoder's zero padding
// and fills any larger picture, or stops where a smaller one ends. What
// tells the right size is where the slice's data ends: under it, the last
// coding tree block's end flag is read exactly where the data ends. Two
// variants of a picture show that from outside the decoder: its slice with
// bytes of ones after its end (the arithmetic decoder reads ones as the
// slice's end, so a decode that runs past the data stops within a block and
// leaves the picture's rest unwritten, soon and cheaply), and its slice with
// its last bytes changed (a decode that never reached them stopped short of
// the data's end: the picture does not change).
//
// The sizes tried are those camera bodies record; tests add their own small
// sizes through TORVELIN_TEST_FRAME_SIZES ("320x180,640x360"), which the
// application never sets.
//
// Thread: any. Errors: none thrown; std::nullopt for a sample that does not
// hold exactly one slice.
#pragma once

#include "noref/h264_probe.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tv {

// Frame sizes tried for pictures of one slice, likeliest first.
std::vector<std::pair<uint32_t, uint32_t>> oneSliceFrameSizes();

// The sample (length-prefixed NAL units) with bytes of ones added after its
// slice's data, inside the slice NAL unit.
std::optional<std::vector<uint8_t>> withBytesAfterSlice(const std::vector<uint8_t>& sample);
// The sample with the last bytes of its slice's data changed (its final
// byte, which holds the stop bit, and any trailing zero words kept).
std::optional<std::vector<uint8_t>> withSliceTailChanged(const std::vector<uint8_t>& sample);

// Every luma sample of a decoded picture, hashed (a change in one block
// must show).
uint64_t lumaHash(const LumaView& y);
// Whether the centre of every coding tree block was written (the decoder's
// buffer starts at 1 where no slice wrote).
bool everyBlockWritten(const LumaView& y, uint32_t ctbSize);

}  // namespace tv
