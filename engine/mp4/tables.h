// Readers for the sample-table boxes of a reference file. Each takes the box
// payload (after the 8/16-byte header, starting at version/flags) and caps the
// entry count by what the payload can hold, so a damaged count never drives an
// allocation. Errors: false with a plain reason in *why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tv {

struct TimeEntry {  // stts and ctts rows
    uint32_t count = 0;
    int64_t value = 0;  // sample delta, or composition offset (signed in ctts v1)
};
struct StscEntry {
    uint32_t firstChunk = 0;
    uint32_t samplesPerChunk = 0;
    uint32_t descriptionIndex = 0;
};
struct SampleSizes {
    uint32_t constant = 0;   // non-zero: every sample has this size
    uint32_t count = 0;
    std::vector<uint32_t> sizes;  // filled when constant == 0
    uint32_t at(size_t i) const { return constant ? constant : sizes.at(i); }
};
struct EditEntry {
    int64_t segmentDuration = 0;  // movie timescale
    int64_t mediaTime = 0;        // media timescale; -1 = empty edit
    int32_t rate = 0x10000;       // 16.16
};

bool readTimeTable(const uint8_t* p, size_t n, bool signedValues, std::vector<TimeEntry>& out,
                   std::string* why);
bool readStsc(const uint8_t* p, size_t n, std::vector<StscEntry>& out, std::string* why);
bool readStsz(const uint8_t* p, size_t n, SampleSizes& out, std::string* why);
// stco (wide = false) or co64 (wide = true).
bool readChunkOffsets(const uint8_t* p, size_t n, bool wide, std::vector<int64_t>& out,
                      std::string* why);
bool readStss(const uint8_t* p, size_t n, std::vector<uint32_t>& out, std::string* why);
bool readElst(const uint8_t* p, size_t n, std::vector<EditEntry>& out, std::string* why);

// Expands stsc over the chunk count: samples in each chunk.
std::vector<uint32_t> samplesPerChunk(const std::vector<StscEntry>& stsc, size_t chunkCount);

}  // namespace tv
