// The sample entries of a reference track: the first entry of an stsd box
// turned into the track's video or audio format.
#pragma once

#include "mp4/track.h"

#include <cstdint>
#include <vector>

namespace tv {

// Reads the format of the first sample entry of an stsd box (whole box bytes).
// Throws EngineError(Reference).
void parseSampleEntry(const std::vector<uint8_t>& stsd, TrackInfo& track);

}  // namespace tv
