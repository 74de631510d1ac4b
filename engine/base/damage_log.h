// The account of damaged ranges that a walk skipped: one log line per range
// and the totals at the end. Shared by both recording families.
//
// Thread: one walk's. Errors: none.
#pragma once

#include <cstdint>
#include <string>

namespace tv {

// Counts skipped ranges and words the log lines about them.
class DamageLog {
public:
    // The line for one skipped range (without "Info: ").
    std::string skip(int64_t offset, int64_t length, const std::string& reason);
    // "skipped N damaged ranges, B bytes in all"; empty when nothing was skipped.
    std::string totals() const;
    int64_t ranges() const { return ranges_; }
    int64_t bytes() const { return bytes_; }

private:
    int64_t ranges_ = 0, bytes_ = 0;
};

// The line for a time range of one kind of track ("video", "audio",
// "metadata") that damage took, in seconds of the result (without "Info: "):
// "lost video from 1.920 s to 2.400 s". The app reads these lines.
std::string lostLine(const char* track, double from, double to);

// 1234567 -> "1,234,567".
std::string groupDigits(int64_t n);

}  // namespace tv
