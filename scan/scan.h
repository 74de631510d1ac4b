// The volume scan: interrupted recordings on the mounted cards, their
// reference candidates, and the volumes that can take the work.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/value.h"
#include "scan/candidates.h"  // videoExts


// The directory under which removable volumes are mounted. Set once at
// start-up (from --volumes, else defaultMountDirectory()). Any thread.
void setMountDirectory(const std::string& dir);
std::string mountDirectory();
// The desktop's removable-media directory for the current user:
// /run/media/<user> when it exists, else /media/<user>. The user is $USER,
// else the account of the real user id.
std::string defaultMountDirectory();

// What the scan asks about a volume root. The system's answers are
// access(W_OK) and freeBytes; tests stand in for them to stage read-only
// cards and free-space figures that a real disk cannot be set to.
struct VolumeQueries {
    std::function<bool(const std::string& root)> writable;
    std::function<int64_t(const std::string& root)> freeBytes;
};
VolumeQueries systemVolumeQueries();

// The Scan result {"rsvs": [...], "volumes": [...], "mount_dir": mountDir}
// for the volumes under `mountDir` (the page says where it looked). Beside the
// six keys of an RSV entry, "work_copy" is true for an RSV that lies directly
// in a work folder directly under its volume's root (a copy this application
// made, not a recording) and "incomplete" is true for a copy that is not
// known whole (an unfinished ".partial" copy, or a work copy without its
// record): never to be recovered. A volume holding a recording (any RSV that
// is no work copy) is a card and never a Volume entry. A Volume entry carries its free space in bytes as
// "free_bytes" beside "free_gb". Never fails: what cannot be read is left out or given a
// default, and a missing mount directory gives two empty lists. Reads
// listings and attributes only; never opens or writes a file.
//
// An RSV whose path is not valid UTF-8 is listed with "path" as pathText
// (the recover request restores its bytes) and "name" readable; volumes
// whose name is not valid UTF-8 are left out.
//
// Blocks for the whole walk; any thread but the main one. Keeps no state.
Value scanRSV(const std::string& mountDir, const VolumeQueries& queries);
// The same for mountDirectory() with the system's queries.
Value scanRSV();

// The "scan" row: runs scanRSV on a background work item and replies from
// there. Every request is answered with a Scan result. Main thread.
void handleScanRequest(Bridge& bridge, int64_t call, const Value& args);
