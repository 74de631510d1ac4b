// The one builder of a movie's track boxes, for every family: a track is its
// header boxes (kept verbatim from a reference, or made here) and its sample
// tables as plain values; writeTrack lays both out as a trak box.
//
// Plain values; any thread. Errors: none (table lengths above 2^32 entries
// are not expected; a caller's sizes are taken as they are).
#pragma once

#include "mp4/box_writer.h"
#include "mp4/tables.h"

#include <cstdint>
#include <vector>

namespace tv {

// A run of equal values in a time table: `count` samples of `value` ticks.
struct TimeRun {
    uint32_t count = 0;
    int64_t value = 0;
};

// Appends `count` samples of `value`, widening the last run when it matches.
void addRun(std::vector<TimeRun>& runs, int64_t value, uint32_t count = 1);

// One track's sample tables, with chunk offsets already in the output file.
struct TrackTables {
    std::vector<TimeRun> stts;
    std::vector<TimeRun> ctts;      // empty: no composition offsets written
    bool hasStss = false;           // false: every sample is a key sample
    std::vector<uint32_t> stss;     // 1-based
    std::vector<uint32_t> samplesPerChunk;
    uint32_t descriptionIndex = 1;
    uint32_t constantSize = 0;      // nonzero: every sample has this size
    uint64_t sampleCount = 0;       // with a constant size
    std::vector<uint32_t> sizes;    // otherwise, one per sample
    std::vector<uint64_t> chunkOffsets;
    uint64_t co64Above = UINT32_MAX;  // an offset above this switches the track to co64
};

// Whole boxes, headers included, written in this order; empty ones are left out.
struct TrackBoxes {
    std::vector<uint8_t> tkhd, edts, tref;
    std::vector<uint8_t> mdhd, hdlr;
    std::vector<uint8_t> mediaHeader, dinf, stsd;
};

void writeTrack(BoxWriter& w, const TrackBoxes& boxes, const TrackTables& tables);

// Header boxes made from nothing. `wide`: version 1 (64-bit times).
struct TrackHeader {
    uint32_t id = 0;
    uint64_t duration = 0;  // movie timescale
    bool audio = false;     // full volume
    uint32_t width = 0, height = 0;
    uint32_t flags = 3;     // enabled, in movie
    bool wide = false;
};
std::vector<uint8_t> tkhdBox(const TrackHeader& h);
std::vector<uint8_t> mvhdBox(uint32_t timescale, uint64_t duration, uint32_t nextTrackId, bool wide);
std::vector<uint8_t> mdhdBox(uint32_t timescale, uint64_t duration, bool wide);
// An edts box holding one elst (version 1) of these entries.
std::vector<uint8_t> edtsBox(const std::vector<EditEntry>& edits);
std::vector<uint8_t> hdlrBox(uint32_t handler, const char* name);
// vmhd, smhd, gmhd (timecode) or nmhd, after the handler type.
std::vector<uint8_t> mediaHeaderBox(uint32_t handler);
// Media in this file.
std::vector<uint8_t> dinfBox();
// stsd with one entry of `type`: the reserved bytes and data reference index
// every sample entry starts with, then `body`.
std::vector<uint8_t> stsdBox(uint32_t type, const std::vector<uint8_t>& body);
// A visual sample entry's own fields, then `config` (a whole box).
std::vector<uint8_t> visualEntryBody(uint32_t width, uint32_t height, const char* compressor,
                                     const std::vector<uint8_t>& config);

}  // namespace tv
