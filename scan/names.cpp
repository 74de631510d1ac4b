#include "scan/names.h"

std::string_view pathExtension(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

std::string_view pathStem(std::string_view name) {
    const std::string_view ext = pathExtension(name);
    if (ext.empty()) return name;
    return name.substr(0, name.size() - ext.size() - 1);
}

std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool hasRsvExtension(std::string_view name) {
    // Called for every entry of the walk, so it avoids building strings.
    const size_t n = name.size();
    if (n < 5 || name[n - 4] != '.') return false;
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    return upper(name[n - 3]) == 'R' && upper(name[n - 2]) == 'S' && upper(name[n - 1]) == 'V';
}

bool isInWorkFolder(std::string_view relPath) {
    if (relPath.substr(0, kWorkFolderPrefix.size()) != kWorkFolderPrefix) return false;
    std::string_view rest = relPath.substr(kWorkFolderPrefix.size());
    if (rest.size() < 8 || rest[6] != '/') return false;
    for (size_t i = 0; i < 6; ++i)
        if (rest[i] < '0' || rest[i] > '9') return false;
    const std::string_view name = rest.substr(7);
    return !name.empty() && name.find('/') == std::string_view::npos;
}

bool isValidUtf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int more;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0) lo = 0xA0;  // overlong
            if (c == 0xED) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0) lo = 0x90;  // overlong
            if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (end - p <= more) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (int i = 2; i <= more; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += more + 1;
    }
    return true;
}
