// Whether pictures decoded under rebuilt parameter sets are pictures at
// all, before anything is written as a repair. Two signs of a residual
// scaled several times too large (a wrong initial QP, wrong scaling
// matrices):
//
// - cliffs: black samples beside white ones, everywhere (ordinary and
//   bright pictures);
// - clipping: a decoded sample is mid-grey plus the residuals along its
//   prediction chain, so halving every residual halves each sample's
//   distance from mid-grey, unless the decode clipped. A right decode
//   clips little (the encoder matched a picture within the range): the
//   distance halves. A residual too large overshoots, clips at black or
//   white and keeps its distance. Dark pictures, where a wrong residual
//   hides in black (few cliffs), show it most plainly.
//
// Residuals too small (a lifted, greyish picture) and a wrong bit depth
// (the same picture, scaled) pass: both decode as scaled pictures.
//
// Thread: any. Errors: none thrown.
#pragma once

#include "codec/h264_pps.h"
#include "codec/h264_sps.h"
#include "noref/slice_survey.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tv {

// The scaling lists in force for a PPS under its SPS (lists 0-7, zig-zag
// order): the flat lists, the standard's default lists and the fall-back
// rules applied.
std::vector<std::vector<uint8_t>> listsInForce(const H264Sps& sps, const H264Pps& pps);

// c with every PPS's lists in force scaled by k (each value within
// 1..255): its residuals decode about k times as large.
H264Candidate withResidualScaled(const H264Candidate& c, double k);

struct PictureVerdict {
    bool pictures = false;  // false: decoding failed, or plainly not pictures
    double cliffShare = 0;  // neighbouring samples half the range apart
    double halfResidual = 0;  // distance from mid-grey at half the residual, against the decode's
    size_t decodes = 0;       // test decodes spent
    std::string why;          // the measures, for an "Info:" line or a refusal
};

// samples: the first GOP's access units (length-prefixed), decode order.
PictureVerdict judgePictures(const H264Candidate& c, const std::vector<std::vector<uint8_t>>& samples);

}  // namespace tv
