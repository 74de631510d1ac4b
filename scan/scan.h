// The volume scan: interrupted recordings on the mounted cards, their
// reference candidates, and the volumes that can take the work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/value.h"

// File extensions (lower case) accepted for reference files. Set at start-up.
extern std::vector<std::string> videoExts;

// The directory under which removable volumes are mounted. Set once at
// start-up (from --volumes, else /run/media/$USER or /media/$USER).
void setMountDirectory(const std::string& dir);
std::string mountDirectory();
// The desktop's removable-media directory for the current user.
std::string defaultMountDirectory();

// The Scan result {"rsvs": [...], "volumes": [...]}. Never fails: what cannot
// be read is left out or given a default. Blocks; never on the main thread.
Value scanRSV();

// The "scan" row: runs scanRSV on a background work item and replies from there.
void handleScanRequest(Bridge& bridge, int64_t call, const Value& args);
