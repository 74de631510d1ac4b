#include "media/codec_text.h"

#include <vector>

namespace {
bool isBlank(uint8_t c) { return c == 0x09 || c == 0x20 || c == 0xA0; }
}  // namespace

std::string codecText(uint32_t code) {
    std::vector<uint8_t> bytes;
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(code >> shift));
    size_t first = 0, last = bytes.size();
    while (first < last && isBlank(bytes[first])) ++first;
    while (last > first && isBlank(bytes[last - 1])) --last;

    std::string text;
    for (size_t i = first; i < last; ++i) {
        const uint8_t c = bytes[i];
        if (c < 0x80) {
            text.push_back(static_cast<char>(c));
        } else {
            text.push_back(static_cast<char>(0xC0 | (c >> 6)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return text;
}
