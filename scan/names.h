// Tests on entry names shared by the walk and the candidate listing.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "bridge/utf8.h"  // isValidUtf8, for the names the walk and listing pass over

// A name the desktop hides: it begins with ".".
inline bool isHiddenName(std::string_view name) { return !name.empty() && name.front() == '.'; }

// The text after the last "." of a name, or empty when there is none or the
// only dot leads the name (".mp4" has no extension, "._C1.MP4" has "MP4").
std::string_view pathExtension(std::string_view name);

// The name without "." + its extension.
std::string_view pathStem(std::string_view name);

// ASCII lower-casing; other bytes are left as they are.
std::string asciiLower(std::string_view s);

// True when the extension, upper-cased, is "RSV" (C1.RSV, c1.rsv, C1.Rsv).
bool hasRsvExtension(std::string_view name);
