// One track as the reference describes it: the boxes kept verbatim for the
// output, its tables, and what its sample entry says about the media.
//
// Plain values; any thread.
#pragma once

#include "codec/video_codec.h"
#include "mp4/tables.h"

#include <cstdint>
#include <vector>

namespace tv {

enum class TrackKind { Video, Audio, Rtmd, Other };

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

}  // namespace tv
