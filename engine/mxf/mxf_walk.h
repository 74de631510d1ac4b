// The walk over an MXF-family RSV: KLV packet by packet from the start to
// the cut, collecting content packages (one picture element and one element
// of every sound track) as byte ranges of the RSV.
//
// A packet counts only when the next packet's key follows its value (or the
// file ends exactly there). A packet whose value runs past the end is the cut
// unless an essence chain verifies after it, in which case it is damage; any
// damaged packet is skipped to the next system item, picture or sound element
// whose packet chain verifies, with one "Info:" line per skipped range.
//
// Damage costs only the elements it touched: a package keeps its picture and
// every sound element that verified, and the elements it lost stay in the
// timeline as gaps (package k of the walk is edit unit k counted from the
// first kept one). Whole packages lost between two kept ones are counted by
// the system items' continuity counts when they have advanced one per package
// so far, else by the bytes per package, and stand in the walk with every
// element lost. A sound element found after damage is given to the package
// being read only when it lies within one package's bytes of that package's
// start, or else to the last lost package when the next package follows
// within a package's bytes. The last package, when the cut falls before all
// its sound, is not kept. Damage before the first package (after an intact
// start) leaves its time as a lead.
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
    // sound tracks in the settings' order. A lost element has offset
    // kLostElement; a lost picture has length 0, a lost sound element the
    // length of the silence that keeps its time (whole sample frames).
    static constexpr int64_t kLostElement = -1;
    std::vector<int64_t> offsets;
    std::vector<uint32_t> lengths;
    // Picture and sound track numbers of essence the settings do not
    // describe (a reference from other settings).
    std::set<uint32_t> foreignTracks;
    // Edit units before the first package whose time damage took (counted
    // by the bytes per package from where the damage began).
    int64_t leadUnits = 0;
    bool sawPicture = false;
    bool sawEssence = false;  // any essence element at all
    int64_t skippedRanges = 0, skippedBytes = 0;

    size_t packages() const { return offsets.size() / elementsPerPackage; }
    bool lost(size_t package, size_t element) const { return offsets[package * elementsPerPackage + element] < 0; }
    // Bytes of the elements kept from the RSV.
    int64_t payloadBytes() const;
};

// Pictures above this size are taken for a damaged length.
constexpr uint64_t kMaxPictureBytes = 64ull << 20;

MxfWalk walkMxf(const ByteSource& src, const MxfSettings& settings, Reporter& rep);

}  // namespace tv
