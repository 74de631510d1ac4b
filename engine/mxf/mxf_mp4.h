// MP4 output for MXF-family recordings: H.264 pictures turned from the byte
// stream format (start codes) into length-prefixed samples, the avcC built
// from in-band parameter sets, and the moov for one video track, the PCM
// sound tracks (kept as stored, little-endian) and an optional timecode track.
//
// Thread: the caller's. Errors: std::nullopt / false for bytes that do not
// parse; nothing throws (allocation failures aside).
#pragma once

#include "mxf/mxf_klv.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tv {

struct AnnexBPicture {
    bool idr = false;
    std::vector<uint8_t> sps, pps;  // the first of each in the picture (NAL header included)
};

// The NAL units of one access unit in start-code form: offset and length of
// each unit's bytes (header included, trailing zero bytes excluded). Empty
// when the bytes do not begin with a start code, a unit has its forbidden
// bit set or holds 00 00 00 or 00 00 02: the picture is not H.264 byte
// stream or it is damaged.
struct NalSpan {
    size_t offset = 0;
    uint32_t length = 0;
};
std::vector<NalSpan> annexBNals(const uint8_t* in, size_t n, AnnexBPicture* info);

// Appends the NAL units of one access unit in start-code form to `out`, each
// with a 4-byte big-endian length and without trailing zero bytes. False
// (out unchanged) when the bytes do not begin with a start code or hold no
// NAL unit: the picture is not H.264 byte stream or it is damaged.
bool annexBToLengthPrefixed(const uint8_t* in, size_t n, std::vector<uint8_t>& out, AnnexBPicture* info);

struct AvcConfig {
    std::vector<uint8_t> avcC;  // box payload
    uint32_t width = 0, height = 0;
};

// Builds the decoder configuration from one SPS and one PPS. Nothing when the
// SPS does not parse.
std::optional<AvcConfig> makeAvcConfig(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps);

// The recovered tables: per package (edit unit of the timeline) the
// picture's output offset and size (size 0: the picture is lost and the one
// before it lasts longer), then each sound element's (silence written where
// the sound was lost); sync flags per package.
struct MxfTables {
    size_t elementsPerPackage = 1;
    std::vector<int64_t> offsets;
    std::vector<uint32_t> sizes;
    std::vector<bool> sync;
    std::optional<int64_t> timecodeSampleOffset;
    // Edit units before the first package whose time damage took: every
    // track but the timecode starts that much later.
    int64_t leadUnits = 0;

    size_t packages() const { return offsets.size() / elementsPerPackage; }
};

struct MxfTrackTimes {
    uint32_t timescale = 0;
    uint64_t duration = 0;  // in timescale units
    uint64_t lead = 0;      // empty edit before the media, in the movie's (the video's) timescale
};

struct MxfMovie {
    std::vector<uint8_t> moov;
    std::vector<MxfTrackTimes> tracks;  // video, sound tracks, (timecode)
};

MxfMovie buildMxfMoov(const MxfSettings& s, const AvcConfig& avc, const MxfTables& t);

// Video timescale and ticks per frame for an edit rate (25/1 -> 25000/1000,
// 30000/1001 -> 30000/1001).
MxfTrackTimes videoClock(const MxfRational& rate);

}  // namespace tv
