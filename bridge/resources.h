// Where the application's resources lie: the page (web/), LICENSES.txt and the
// repair engine (untrunc).
//
// By default the folder is found next to the executable: <exe dir>/../resources
// in the build tree, <exe dir>/../share/torvelin-recovery in an installed tree.
// `--resources DIR` on the command line replaces it (tests use their own).
#pragma once

#include <optional>
#include <string>

// Set once at start-up, before any other thread runs.
void setResourcesDir(const std::string& dir);
std::string resourcesDir();

// The path of a resource if something exists there, else nothing. Any thread.
std::optional<std::string> resourcePath(const std::string& relative);
