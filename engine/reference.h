// What the repair needs to know about a healthy recording from the same
// camera: its tracks (sample descriptions and header boxes kept verbatim for
// the output), timing, audio layout, rtmd size, and the order in which the
// camera interleaves chunks inside the media data.
//
// parseReference reads only headers and the moov box (capped in size), never
// the media data. Errors: EngineError(Reference) with a plain reason.
#pragma once

#include "byte_source.h"
#include "tables.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tv {

enum class TrackKind { Video, Audio, Rtmd, Other };
enum class VideoCodec { H264, H265 };

struct AudioFormat {
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0;
    uint32_t bytesPerFrame = 0;  // one sample for every channel
};

struct VideoFormat {
    VideoCodec codec = VideoCodec::H264;
    int nalLengthSize = 4;
    uint16_t width = 0, height = 0;
    std::vector<std::vector<uint8_t>> parameterSets;  // VPS/SPS/PPS NAL units, headers included
};

struct TrackInfo {
    uint32_t id = 0;
    TrackKind kind = TrackKind::Other;
    uint32_t handler = 0;
    uint32_t entryType = 0;  // first sample entry's format, e.g. 'avc1'
    uint32_t timescale = 0;
    uint64_t mediaDuration = 0;

    // Boxes copied verbatim into the output (whole boxes, headers included).
    std::vector<uint8_t> tkhd, mdhd, hdlr, mediaHeader, dinf, stsd, tref;
    bool hasEdits = false;
    std::vector<EditEntry> edits;

    SampleSizes sizes;
    std::vector<TimeEntry> stts, ctts;
    bool hasStss = false;
    std::vector<uint32_t> stss;
    std::vector<StscEntry> stsc;
    std::vector<int64_t> chunkOffsets;

    uint32_t sampleDelta = 0;  // most common stts delta
    uint32_t descriptionIndex = 1;
    AudioFormat audio;
    VideoFormat video;
};

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
