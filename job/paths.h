// The three paths of one recovery on the work volume.
#pragma once

#include <string>

struct WorkPaths {
    std::string folder;     // volRoot + "/RSV복구_" + yyMMdd (local date)
    std::string copy;       // folder + "/" + the RSV's file name
    std::string recovered;  // folder + "/" + the RSV's name without extension + "_fixed.MP4"
};

// The paths for the RSV's name; variant n > 1 adds "_n" to the name (A001_2.RSV,
// A001_2_fixed.MP4).
WorkPaths workPaths(const std::string& rsvPath, const std::string& volRoot, int variant = 1);

// The file the path names, as "device:inode"; the path itself when it cannot be read.
std::string fileIdentity(const std::string& path);
// Both paths name the same existing file.
bool sameFile(const std::string& a, const std::string& b);
