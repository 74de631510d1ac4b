// The handler type of each track of a QuickTime/MP4 file, read from the
// movie box. FFmpeg reports every track whose handler it does not know as a
// data stream, so it cannot tell a timed-metadata track from, say, a
// timecode track; this reader can.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// track_ID -> handler type (a four-character code, e.g. 'meta', 'vide').
// Empty when the file is not a readable QuickTime/MP4 file. Reads only box
// headers and the few boxes it needs; never reads more than the file holds,
// whatever the box sizes claim. Any thread.
std::map<uint32_t, uint32_t> trackHandlers(const std::string& path);

constexpr uint32_t fourCC(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) << 24 | uint32_t(uint8_t(b)) << 16 | uint32_t(uint8_t(c)) << 8 | uint32_t(uint8_t(d));
}
