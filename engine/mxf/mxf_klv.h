// MXF (SMPTE ST 377-1) at the level the repair needs: KLV packets (16-byte
// universal label, BER length, value), the kinds of key a recording holds,
// and the header metadata reduced to the settings of the essence: edit rate,
// the picture and sound tracks with their essence track numbers, and the
// start timecode.
//
// Everything reads through a ByteSource and never trusts a length: a packet
// whose value runs past the end is reported as such, never read. Thread: the
// caller's. Errors: std::nullopt / empty results for bytes that do not parse;
// nothing throws except ByteSource I/O errors.
#pragma once

#include "base/byte_source.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tv {

using MxfKey = std::array<uint8_t, 16>;

struct Klv {
    MxfKey key{};
    int64_t offset = 0;      // of the key
    int64_t valueOffset = 0;
    uint64_t length = 0;     // of the value
    int64_t end() const { return valueOffset + int64_t(length); }
};

enum class KeyKind { Partition, Primer, MetadataSet, IndexSegment, Fill, Essence, SystemItem, RandomIndex, Other };

// True for the 4-byte SMPTE label prefix 06 0E 2B 34 with a registry
// designator a recording uses (dictionaries, groups, elements).
bool plausibleKey(const uint8_t* k);
KeyKind keyKind(const uint8_t* k);
bool startsWithMxfKey(const ByteSource& src);
// A header partition pack key (06 0E 2B 34 02 05 01 01 0D 01 02 01 01 02 xx 00).
bool isHeaderPartition(const uint8_t* k);

// Reads the key and BER length at `offset`. Nothing when the header is cut,
// the key is implausible or the length field is malformed (the value may run
// past the end: compare end() with the size).
std::optional<Klv> readKlv(const ByteSource& src, int64_t offset);

// The essence track number of an essence element key (its last four bytes).
inline uint32_t essenceTrackNumber(const MxfKey& k) {
    return uint32_t(k[12]) << 24 | uint32_t(k[13]) << 16 | uint32_t(k[14]) << 8 | k[15];
}
// Picture items (CP 0x05, GC 0x15), sound items (CP 0x06, GC 0x16).
inline bool isPictureElement(uint32_t trackNumber) {
    return (trackNumber >> 24) == 0x15 || (trackNumber >> 24) == 0x05;
}
inline bool isSoundElement(uint32_t trackNumber) {
    return (trackNumber >> 24) == 0x16 || (trackNumber >> 24) == 0x06;
}

// A track number as the log shows it: eight hexadecimal digits.
std::string trackNumberText(uint32_t trackNumber);

struct MxfRational {
    int32_t num = 0, den = 0;
    // Positive, and small enough for a millisecond timescale in 32 bits.
    bool valid() const { return num > 0 && den > 0 && num <= 1000000 && den <= 1000000; }
};

struct MxfSoundTrack {
    uint32_t trackNumber = 0;
    uint32_t sampleRate = 0;  // Hz (whole rates only)
    uint32_t channels = 0;
    uint32_t bits = 0;
    uint32_t blockAlign = 0;  // bytes per sample frame, all channels
};

struct MxfTimecode {
    int64_t startFrames = 0;
    uint16_t roundedBase = 0;
    bool dropFrame = false;
};

// What the recovery needs from header metadata.
struct MxfSettings {
    MxfRational editRate;
    uint32_t pictureTrack = 0;
    uint16_t storedWidth = 0, storedHeight = 0;
    bool pictureIsAvc = false;
    std::vector<MxfSoundTrack> sounds;  // in track-number order of the file package
    std::optional<MxfTimecode> timecode;

    bool usable() const { return editRate.valid() && pictureTrack != 0; }
    std::string describe() const;
};

// Parses the local sets of one header metadata region [begin, end) (primer
// pack, sets, fill). Nothing when no file package with a picture track and a
// valid edit rate is found in it.
std::optional<MxfSettings> parseHeaderMetadata(const ByteSource& src, int64_t begin, int64_t end);

// The header metadata of a file that starts with a header partition pack:
// parsed from the region that follows the pack, or (a finished file whose
// header partition holds none) from the footer partition's. Nothing when the
// file does not start with one or no metadata yields usable settings.
std::optional<MxfSettings> readMxfSettings(const ByteSource& src);

}  // namespace tv
