// What the application remembers between runs: the work folder the user
// chose last. One small JSON file, settings.json, in the application's
// folder under the XDG config folder ({"work_folder": path}).
//
// Reading follows no link and reads at most a few KiB; a missing or broken
// file is no setting. Writing goes to a temporary name in the folder
// (opened once, never through a link), is synced, and then renamed onto
// settings.json. Any thread; blocks briefly on the file system.
#pragma once

#include <optional>
#include <string>

// $XDG_CONFIG_HOME/torvelin-recovery (GLib's user config folder).
std::string settingsFolder();

std::optional<std::string> loadWorkFolder(const std::string& folder);
// False when it could not be written; the choice then lasts for this run only.
bool saveWorkFolder(const std::string& folder, const std::string& workFolder);
