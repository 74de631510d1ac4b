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

// Set once at start-up, before any other thread runs. setResourcesDir(dir) is
// setResourceFolders({dir, dir}).
void setResourcesDir(const std::string& dir);
void setResourceFolders(const ResourceFolders& folders);
std::string resourcesDir();  // the data folder

// The path of a resource if something exists there, else nothing. The engine
// folder is looked in first, then the data folder: an engine that an install of
// the older layout left in the data folder must not stand in for the current
// one. Any thread.
std::optional<std::string> resourcePath(const std::string& relative);
