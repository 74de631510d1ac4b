// Where the application's resources lie: the page (web/), LICENSES.txt and the
// repair engine (untrunc).
//
// By default they are found from the executable's own folder, so a tree works
// wherever it was installed or unpacked:
// - the build tree: everything in <exe dir>/../resources;
// - an installed tree (<prefix>/bin/<exe>): the page and the licences in
//   <prefix>/share/torvelin-recovery, the engine in <prefix>/lib/torvelin-recovery
//   (Debian keeps architecture-dependent executables out of /usr/share). The two
//   sub-folders come from the build (TORVELIN_DATA_SUBDIR, TORVELIN_ENGINE_SUBDIR),
//   the same values the install rules use.
// `--resources DIR` on the command line replaces both with DIR (tests use their own).
#pragma once

#include <optional>
#include <string>

struct ResourceFolders {
    std::string data;    // the page and the licences
    std::string engine;  // executables; the same as `data` outside an installed tree
};

// The folders for an executable in `exeDir`: the build tree's when it exists,
// else the installed tree's, else <exe dir>/resources, else the build tree's. Pure but
// for looking at what exists.
ResourceFolders resourceFoldersFor(const std::string& exeDir);

// Set once at start-up, before any other thread runs.
void setResourcesDir(const std::string& dir);
std::string resourcesDir();

// The path of a resource if something exists there (in the data folder, else in
// the engine folder), else nothing. Any thread.
std::optional<std::string> resourcePath(const std::string& relative);
