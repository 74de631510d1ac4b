// The walk over an MXF-family RSV: KLV packet by packet from the start to
// the cut, collecting content packages (one picture element and one element
// of every sound track) as byte ranges of the RSV.
//
// A packet counts only when the next packet's key follows its value (or the
// file ends exactly there). A packet whose value runs past the end is the cut
// unless an essence chain verifies after it, in which case it is damage; any
// damaged packet is skipped to the next picture element whose packet chain
// verifies, with one "Info:" line per skipped range. A package that lacks a
// sound element, or whose sound element is not whole sample frames, is
// dropped whole so that every track keeps the same length.
//
// Thread: the caller's. Errors: I/O errors of the source propagate; the walk
// itself never throws on bad bytes.
#pragma once

#include "base/byte_source.h"
#include "mxf/mxf_klv.h"
#include "base/reporter.h"

#include <cstdint>
#include <set>
#include <vector>

namespace tv {

struct MxfWalk {
    size_t elementsPerPackage = 1;  // picture + sound tracks
    // Value offsets and lengths, package by package: the picture, then the
    // sound tracks in the settings' order.
    std::vector<int64_t> offsets;
    std::vector<uint32_t> lengths;
    // Picture and sound track numbers of essence the settings do not
    // describe (a reference from other settings).
    std::set<uint32_t> foreignTracks;
    bool sawPicture = false;
    bool sawEssence = false;  // any essence element at all
    int64_t skippedRanges = 0, skippedBytes = 0;

    size_t packages() const { return offsets.size() / elementsPerPackage; }
    int64_t payloadBytes() const;
};

// Pictures above this size are taken for a damaged length.
constexpr uint64_t kMaxPictureBytes = 64ull << 20;

MxfWalk walkMxf(const ByteSource& src, const MxfSettings& settings, Reporter& rep);

}  // namespace tv
