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
