// Checking a recovered file's pictures over its whole length: key pictures
// spread over all of it and every picture of the last group are decoded, the
// decoder's errors counted and the decoded size compared with the size the
// file's video track declares.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct PictureCheck {
    int checked = 0;        // key pictures decoded (the last group's first among them)
    int clean = 0;          // pictures, of all decoded, that came out without an error
    int errors = 0;         // decoder errors counted over every picture decoded
    int64_t frames = 0;     // frames of the video track
    int width = 0;          // the size the track declares
    int height = 0;
    bool sizeMatches = true;  // every decoded picture has the declared size
    // Seconds of the file whose pictures are damaged, merged, in order: from
    // a damaged key picture to the next key picture.
    std::vector<std::pair<double, double>> damaged;
};

// Never fewer key pictures than one per this many seconds, whatever the budget.
constexpr double kKeySpacingSeconds = 10.0;

// Checks the video of `path`: every key picture when they fit in
// `budgetSeconds` of decoding, else as many as fit, evenly spread, but never
// fewer than one per kKeySpacingSeconds; and the whole last group. `stop`
// is asked between pictures and ends the check early (absent result).
// Absent when the file has no decodable video track. Blocks; any thread but
// main.
std::optional<PictureCheck> checkPictures(const std::string& path, double budgetSeconds,
                                          const std::function<bool()>& stop);

// Key pictures decoded at once by checkPictures: one per processor, at most 4.
unsigned checkLanes();

// The order in which `count` key pictures are checked: first one per
// `mandatory` even step (first and last included), then the rest so that
// every prefix stays evenly spread. Exposed for its tests.
std::vector<size_t> keyOrder(size_t count, size_t mandatory);
