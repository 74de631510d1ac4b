// The three paths of one recovery on the work volume.
#pragma once

#include <string>

struct WorkPaths {
    std::string folder;     // volRoot + "/RSV복구_" + yyMMdd (local date)
    std::string copy;       // folder + "/" + the RSV's file name
    std::string recovered;  // folder + "/" + the RSV's name without extension + "_fixed.MP4"
};

WorkPaths workPaths(const std::string& rsvPath, const std::string& volRoot);

// The file the path names, as "device:inode"; the path itself when it cannot be read.
std::string fileIdentity(const std::string& path);
// Both paths name the same existing file.
bool sameFile(const std::string& a, const std::string& b);
