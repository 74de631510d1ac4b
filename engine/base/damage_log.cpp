#include "base/damage_log.h"

#include "base/engine_contract.h"

#include <cstdio>

namespace tv {

std::string groupDigits(int64_t n) {
    std::string digits = std::to_string(n < 0 ? -n : n);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

std::string lostLine(const char* track, double from, double to) {
    char line[96];
    std::snprintf(line, sizeof line, "%s%s from %.3f s to %.3f s", engine_contract::kLostWord, track, from, to);
    return line;
}

std::string DamageLog::skip(int64_t offset, int64_t length, const std::string& reason) {
    ++ranges_;
    bytes_ += length;
    return "skipped a damaged range at offset " + std::to_string(offset) + ", " + groupDigits(length) +
           " bytes: " + reason;
}

std::string DamageLog::totals() const {
    if (ranges_ == 0) return {};
    return "skipped " + groupDigits(ranges_) + (ranges_ == 1 ? " damaged range, " : " damaged ranges, ") +
           groupDigits(bytes_) + " bytes in all";
}

}  // namespace tv
