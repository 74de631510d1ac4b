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


bool isRecoveredStem(std::string_view stem) {
    constexpr std::string_view kFixed = "_fixed";
    for (size_t at = stem.find(kFixed); at != std::string_view::npos; at = stem.find(kFixed, at + 1)) {
        const size_t end = at + kFixed.size();
        if (end == stem.size() || stem[end] == '_') return true;
    }
    return false;
}
