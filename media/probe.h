// Describing a media file: the Probe result.
#pragma once

#include <cstdint>
#include <string>

#include "bridge/bridge.h"
#include "bridge/value.h"

// {"dur", "w", "h", "fps", "codec", "audio_tracks", "meta_tracks"} as far as
// they can be read; at least "dur" (0 when unknown), "audio_tracks" and
// "meta_tracks". Never fails. Blocks while the file is read; any thread but main.
Value probe(const std::string& path);

// The "probe" row: probes args["path"] on a background work item and replies from there.
void handleProbeRequest(Bridge& bridge, int64_t call, const Value& args);
