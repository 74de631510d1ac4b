// What a recording shows before anything is started: picture size, frame
// rate and codec, for an RSV read from its first group and for a reference
// candidate read from its movie header, and whether the two agree.
//
// Only what can be proven is given: a field that cannot be read is left out,
// and an RSV whose first group cannot be read has no info at all.
// Pure but for the bounded reads of rsvClipInfo; any thread but the main one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bridge/value.h"

namespace tv {
class ByteSource;
}

struct ClipInfo {
    std::optional<int64_t> width, height;
    std::optional<double> fps;
    std::optional<std::string> codec;  // "H.264", "H.265" or "XAVC Intra"

    bool empty() const { return !width && !height && !fps && !codec; }
    // {"width", "height", "fps", "codec"} with the fields that are known.
    Value toValue() const;
};

// Reads at most the first few MiB of the RSV, never writes, never blocks on
// something that is not a regular file. The codec comes from the access unit
// delimiter after the first rtmd run (an MXF key at the start: "XAVC Intra"),
// the rate from bytes 18..19 of the first rtmd header. The picture size is
// not given: the cameras carry no parameter sets in the stream, and a coded
// size without its cropping would be no proof. Nothing when the file does not
// begin with a camera group (or a reference-style header before one).
std::optional<ClipInfo> rsvClipInfo(const std::string& path);
// The same reading of bytes at hand (the fuzz target's door). Never throws.
std::optional<ClipInfo> clipInfoOf(const tv::ByteSource& rsv);

// The info of a Probe result (media/probe.h): "w", "h", "fps", "codec"
// (the sample entry: avc1/avc3 is H.264, hvc1/hev1 H.265); an MXF file is
// "XAVC Intra", the only MXF essence a camera RSV of that family carries.
ClipInfo clipInfoFromProbe(const Value& probe, bool mxfFile);

// True when every field known on both sides agrees (the rate to the whole
// number the camera writes in its rtmd header, so 29.97 matches 30); nothing
// when no field is known on both sides.
std::optional<bool> clipInfoMatch(const ClipInfo& rsv, const ClipInfo& candidate);
