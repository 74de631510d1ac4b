#include "bridge/utf8.h"

size_t utf8SequenceLength(unsigned char c) {
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return 2;
    if (c >= 0xE0 && c <= 0xEF) return 3;
    if (c >= 0xF0 && c <= 0xF4) return 4;
    return 0;
}

bool utf8WellFormedStart(const unsigned char* p, size_t len) {
    for (size_t i = 1; i < len; ++i)
        if ((p[i] & 0xC0) != 0x80) return false;
    if (len >= 2) {
        if (p[0] == 0xE0 && p[1] < 0xA0) return false;   // overlong
        if (p[0] == 0xED && p[1] >= 0xA0) return false;  // surrogates
        if (p[0] == 0xF0 && p[1] < 0x90) return false;   // overlong
        if (p[0] == 0xF4 && p[1] >= 0x90) return false;  // above U+10FFFF
    }
    return true;
}

bool isValidUtf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    for (size_t i = 0; i < n;) {
        const size_t len = utf8SequenceLength(p[i]);
        if (len == 0 || len > n - i || !utf8WellFormedStart(p + i, len)) return false;
        i += len;
    }
    return true;
}
