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

namespace {

constexpr unsigned kEscapeBase = 0xF700;

void appendEscape(std::string& out, unsigned char byte) {
    const unsigned cp = kEscapeBase + byte;  // U+F780..U+F7FF: three bytes
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
}

// True for the three bytes of U+F780..U+F7FF, the escapes' own range.
bool isEscape(const unsigned char* p, size_t len) {
    if (len != 3 || p[0] != 0xEF) return false;
    const unsigned cp = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    return cp >= kEscapeBase + 0x80 && cp <= kEscapeBase + 0xFF;
}

template <typename Bad>
std::string mapInvalid(std::string_view s, Bad bad) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    for (size_t i = 0; i < n;) {
        const size_t len = utf8SequenceLength(p[i]);
        if (len == 0 || len > n - i || !utf8WellFormedStart(p + i, len) || isEscape(p + i, len)) {
            const size_t whole = len == 0 || len > n - i || !utf8WellFormedStart(p + i, len) ? 1 : len;
            for (size_t k = 0; k < whole; ++k) bad(out, p[i + k]);
            i += whole;
            continue;
        }
        out.append(s.substr(i, len));
        i += len;
    }
    return out;
}

}  // namespace

std::string pathText(std::string_view bytes) {
    if (isValidUtf8(bytes) && bytes.find("\xEF\x9E") == std::string_view::npos &&
        bytes.find("\xEF\x9F") == std::string_view::npos)
        return std::string(bytes);
    return mapInvalid(bytes, appendEscape);
}

std::string pathBytes(std::string_view text) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        if (i + 3 <= text.size() && isEscape(p + i, 3)) {
            out += static_cast<char>((((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu)) & 0xFF);
            i += 3;
            continue;
        }
        out += text[i++];
    }
    return out;
}

std::string readablePath(std::string_view bytes) {
    return mapInvalid(bytes, [](std::string& out, unsigned char) { out += "\xEF\xBF\xBD"; });
}
