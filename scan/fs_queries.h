// Two file-system figures; 0 stands for "unknown" as well as for a true zero.
// Both are synchronous, keep no state and may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

// Size in bytes of the item at `path`; 0 when it cannot be read.
int64_t fileSize(const std::string& path);
// Bytes an ordinary user may still write on the volume holding `path`
// (blocks available to unprivileged users times the fragment size); 0 when unknown.
int64_t freeBytes(const std::string& path);

// The free space a recovery of an RSV of `rsvSize` bytes needs on its work
// volume: room for the copy and the recovered file (each about the RSV's
// size) plus a margin, held at the top of the range instead of overflowing
// (then no volume is enough, which is the truth for such a size).
int64_t spaceNeeded(int64_t rsvSize);
// The one rule of the scan's "enough" and of the recover admission: free
// bytes that equal the need are enough.
bool roomForRecovery(int64_t freeBytes, int64_t rsvSize);

// The one rule of the scan's per-volume verdict ("room") and of the recover
// admission: an RSV that already lies inside `volRoot` is worked on in place
// and needs no room; otherwise roomForRecovery.
bool roomOnVolume(const std::string& rsvPath, int64_t rsvSize, const std::string& volRoot, int64_t freeBytes);
// `path` lies inside the folder `root` (by its text: "/a/bc" is not inside "/a/b").
bool isInside(const std::string& path, const std::string& root);

constexpr int64_t kSpaceMargin = 10'000'000'000;
