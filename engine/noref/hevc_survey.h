// What the slices of an H.265 recording without parameter sets say about
// them before anything is decoded. The key picture's slice segment headers
// are read under every combination of the picture-set fields they depend
// on (extra header bits, output flag, SAO, slice chroma QP offsets,
// deblocking control, loop filter across slices, wavefront entry points,
// header extension, dependent segments) and of picture geometry (frame
// size and coding tree block size, which set the width of the segment
// address and the number of entry points); combinations under which any
// header runs off its bits, misses its byte alignment, names addresses out
// of order or entry points that do not match its rows are dropped.
//
// Thread: caller's. Errors: none thrown; empty results when nothing fits.
#pragma once

#include "base/byte_source.h"
#include "codec/h265_writer.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tv {

struct HevcPicture {
    std::vector<uint8_t> sample;               // length-prefixed, as stored
    std::vector<std::vector<uint8_t>> slices;  // each slice NAL's first bytes (its header)
    std::vector<uint32_t> sliceSizes;          // each slice NAL's whole size
    int type = 0;                              // the first slice's NAL unit type
};

// The access unit at `offset` (its delimiter first), up to the next
// delimiter or `limit` bytes; nullopt when its NAL units do not chain.
std::optional<HevcPicture> readHevcPicture(const ByteSource& rsv, int64_t offset, int64_t limit);
// A picture already cut out of the file (the walker's frames).
std::optional<HevcPicture> hevcPictureOf(std::vector<uint8_t> sample);

// Every id the slices' headers name (slice_pic_parameter_set_id), rising.
std::vector<uint32_t> hevcPpsIds(const std::vector<HevcPicture>& pictures);

// IDR, CRA and BLA pictures: a recording may start at any of them.
bool isHevcKeyType(int type);
// Whether a body may code pictures of p's size in p's coding tree blocks.
bool ctbSizeAllowed(const H265Params& p);

// Parameter sets under which every slice header of the key picture (an
// IRAP picture) reads consistently, likeliest first: the usual camera
// values and the usual frame sizes first (for one slice, only the sizes
// camera bodies record: oneSliceFrameSizes()). Fields the headers do not
// depend on keep `usual`'s values.
std::vector<H265Params> surveyKeyPicture(const HevcPicture& key, const H265Params& usual);
// How many of the fields the survey reads differ from `usual`'s.
int fieldsOffUsual(const H265Params& p, const H265Params& usual);

}  // namespace tv
