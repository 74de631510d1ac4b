// The first GOP of a recording without parameter sets, and what its slice
// headers allow: the candidate H.264 parameter sets under which every
// header parses consistently, the picture order they imply and the frame
// sizes their slice addresses fit.
//
// Thread: caller's. Errors: EngineError(ReferenceNeeded) when the recording
// does not start with an IDR picture; otherwise empty results.
#pragma once

#include "base/byte_source.h"
#include "base/reporter.h"
#include "codec/h264_pps.h"
#include "codec/h264_sps.h"
#include "codec/slice_header.h"
#include "noref/layout_from_rsv.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tv {

[[noreturn]] void needReference(const std::string& why);

struct GopNal {
    std::vector<uint8_t> bytes;  // from the NAL header on (a slice: its first bytes only)
    int type = 0;
};

struct GopPicture {
    std::vector<uint8_t> sample;  // length-prefixed, as stored
    std::vector<GopNal> slices;
    std::vector<GopNal> sei;
};

std::vector<GopPicture> readGop(const ByteSource& rsv, const RsvRecording& rec);

// Encoder options some encoders leave in an unregistered user-data SEI
// ("key=value" words) of the first picture.
std::map<std::string, std::string> encoderOptions(const std::vector<GopPicture>& gop);
int optionInt(const std::map<std::string, std::string>& o, const char* key, int fallback);

// One candidate: an SPS and the PPS the slices name (pps.id is the first
// slice's; one PPS describes every id, since slice headers do not depend
// on what a body's PPS differ in).
struct H264Candidate {
    H264Sps sps;
    H264Pps pps;
    std::vector<uint32_t> otherPpsIds;    // more ids the slices name: copies of pps under them
    std::map<uint32_t, H264Pps> lentPps;  // a donor's PPS by id: their matrices and chroma offsets
    std::vector<std::vector<uint8_t>> nals() const;
    std::vector<uint8_t> avcC() const;  // the avcC box payload
};

// Every PPS id the GOP's slices name, rising.
std::vector<uint32_t> ppsIdsNamed(const std::vector<GopPicture>& gop);

struct GopParse {
    std::vector<std::vector<H264SliceHeader>> headers;  // per picture
    std::vector<int64_t> poc;                            // per picture, decode order
    bool refDefaultsUsed = false, bSlices = false;
    uint32_t reorderDepth() const;
};

// Every slice header of the GOP under c, with the checks across slices.
std::optional<GopParse> parseGop(const std::vector<GopPicture>& gop, const H264Candidate& c);

struct Survivor {
    H264Candidate c;
    GopParse parsed;
};

// Every combination of the fields slice headers depend on under which each
// header of the GOP parses consistently. Progress 0..10.
std::vector<Survivor> headerCandidates(const std::vector<GopPicture>& gop, const H264Candidate& base,
                                       Reporter& rep);

struct FrameSize {
    uint32_t width, height;
};
// Picture sizes the slice addresses allow, likeliest first.
std::vector<FrameSize> frameSizes(const GopParse& parsed);

}  // namespace tv
