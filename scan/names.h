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

// A stem this application gives its results: "_fixed" (case-sensitive) at
// the end or followed by "_" and more ("C0004_fixed", "C0004_fixed_2",
// "C0004_fixed_CARD"). "C0004_FIXED" and "C0004_fixedX" are not.
bool isRecoveredStem(std::string_view stem);

// The name of a work folder starts with this and ends with the date as yyMMdd.
inline constexpr std::string_view kWorkFolderPrefix = "RSV복구_";

// True when `relPath` (a path inside a volume, without the volume root) names
// an item directly inside a work folder that lies directly under the root:
// "RSV복구_241206/C0003.RSV". Such an RSV is a copy the application made,
// not a recording of the card.
bool isInWorkFolder(std::string_view relPath);

