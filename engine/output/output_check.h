// Reading a written movie back before the engine reports success.
//
// The movie box is assembled partly from the reference's own boxes; a damaged
// reference can thus yield a file no player opens even though every write
// succeeded. The check reads the file the way a player does (FFmpeg's MP4
// reader) and asks for one video sample that lies inside the file.
//
// Thread: any. Errors: none thrown; the reason is returned.
#pragma once

#include <optional>
#include <string>

namespace tv {

// Why the movie at `path` would not play; nothing when it reads back.
std::optional<std::string> unplayableMovie(const std::string& path);

}  // namespace tv
