// H.264 / H.265 NAL unit headers and the slice-header fields that picture
// order needs. The NAL unit types a camera stream can carry are checked here,
// below both the parameter sets and the picture order counter that use them.
//
// Thread: pure functions, any thread. Errors: std::nullopt when bytes do not
// parse; nothing throws.
#pragma once

#include "codec/video_codec.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tv {

struct NalHeader {
    int type = 0;
    int refIdc = 0;   // H.264 nal_ref_idc
    int layerId = 0;  // H.265
    int tid = 0;      // H.265 TemporalId
};

// Checks forbidden bit, a type a camera stream can carry, and the fields the
// standards tie to it. n must cover the header (1 or 2 bytes).
std::optional<NalHeader> parseNalHeader(VideoCodec codec, const uint8_t* p, size_t n);
int nalHeaderSize(VideoCodec codec);
bool isAud(VideoCodec codec, int type);
bool isSlice(VideoCodec codec, int type);
bool isRandomAccess(VideoCodec codec, int type);
bool isParameterSet(VideoCodec codec, int type);  // VPS/SPS/PPS  // IDR (H.264), IRAP (H.265)
// H.264 profiles whose SPS carries chroma format, bit depths and scaling
// lists before log2_max_frame_num (H.264 7.3.2.1.1).
bool h264SpsHasChromaInfo(uint32_t profileIdc);

struct SliceInfo {
    NalHeader nal;
    bool firstInPicture = true;
    uint32_t address = 0;  // first_mb_in_slice / slice_segment_address
    uint32_t frameNum = 0;
    uint32_t pocLsb = 0;
    int32_t deltaPocBottom = 0;
    int32_t deltaPoc[2] = {0, 0};
    bool fieldPic = false, bottomField = false;
    uint32_t ppsId = 0;
    bool predicted = false;  // a P or B slice: it refers to earlier pictures
};

}  // namespace tv
