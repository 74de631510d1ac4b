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
#include "scan/work_places.h"


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
// `describe` gives a candidate's Probe result (media/probe.h); without it
// candidates carry no "info".
struct VolumeQueries {
    std::function<bool(const std::string& root)> writable;
    std::function<int64_t(const std::string& root)> freeBytes;
    std::function<Value(const std::string& path)> describe;
};
VolumeQueries systemVolumeQueries();

// The Scan result {"rsvs": [...], "volumes": [...], "mount_dir": mountDir}
// for the volumes under `mountDir` (the page says where it looked).
//
// RSV entry: the six keys "path", "name", "vol", "size", "mtime", "refs";
// "work_copy" (true for an RSV directly in a work folder directly under its
// volume's root: a copy this application made); "info" (clip_info.h, absent
// when its first group cannot be read); "card_name" (the card's volume name:
// its own volume, or for a work copy the one its copy record names);
// "results" [{"path", "name", "size", "partial"}] (verified results whose
// record names this recording, records.h); the space verdict "need_bytes",
// "need_parts" {"copy", "result", "margin"} and "room" {place path: bool}
// for every offered place, by roomOnVolume, the admission's own rule.
// Reference entry: "path", "name", "size", and "info" and "match" when known.
//
// Volume entry: "id" and "name" (the entry name, or the folder's name),
// "root" and "path", "free_gb", "free_bytes", "enough" (against the largest
// RSV anywhere) and "kind": "removable" for the mounted volumes (most free
// space first), then "home" for `places.home` and "chosen" for
// `places.chosen`. A card (a volume holding a recording that is not one of
// our copies) is never offered, nor a folder on one.
//
// Never fails: what cannot be read is left out or given a default, and a
// missing mount directory gives no RSV and no mounted volume. Reads listings,
// attributes, records and the first MiBs of each RSV; never writes.
//
// Items whose path is not valid UTF-8 (and volumes whose name is not) are
// left out altogether: the page could not be sent their path, nor send it
// back, and one such text would spoil the whole answer. They do not count
// towards the largest RSV size either.
//
// Blocks for the whole walk; any thread but the main one. Keeps no state.
Value scanRSV(const std::string& mountDir, const VolumeQueries& queries, const WorkPlaces& places = {});
// The same for mountDirectory() with the system's queries and places.
Value scanRSV();

// The place entry of a folder the user chose (kind "chosen", as in the
// scan's volumes, without "enough"), or {"error": sentence} when it is no
// writable folder or lies on a card. Reads the card's listing; any thread
// but the main one.
Value chosenPlaceEntry(const std::string& folder);

// The "scan" row: runs scanRSV on a background work item and replies from
// there. Every request is answered with a Scan result. Main thread.
void handleScanRequest(Bridge& bridge, int64_t call, const Value& args);
