// What the repair needs to know about a healthy recording from the same
// camera: its tracks (sample descriptions and header boxes kept verbatim for
// the output), timing, audio layout, rtmd size, and the order in which the
// camera interleaves chunks inside the media data.
//
// parseReference reads only headers and the moov box (capped in size), never
// the media data. Errors: EngineError(Reference) with a plain reason.
#pragma once

#include "base/byte_source.h"
#include "mp4/track.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tv {

struct Reference {
    std::vector<uint8_t> ftyp, mvhd;
    uint32_t movieTimescale = 0;
    std::vector<TrackInfo> tracks;
    int video = -1;               // index into tracks
    int rtmd = -1;
    std::vector<int> audio;       // in interleave order
    std::vector<int> chunkOrder;  // track indices of one group, in stored order
    int64_t mdatPayloadOffset = -1;
    uint32_t rtmdSampleSize = 0;
    uint32_t frameDuration = 0;   // video timescale ticks
    uint32_t framesPerGroup = 0;  // of the reference's first group (informational)

    const TrackInfo& videoTrack() const { return tracks.at(size_t(video)); }
};

Reference parseReference(const ByteSource& src);

// Parses one moov box payload given as bytes (for tests and fuzzing); fills
// tracks, mvhd and the derived fields. Throws EngineError(Reference).
void parseMovie(const ByteSource& moov, int64_t begin, int64_t end, Reference& ref);


std::string describe(const Reference& ref);

}  // namespace tv
