// The "remove_partials" request: the unfinished files one finished job left
// in its work folder, removed after the page asked the user.
//
// Only files this application made for that job are removed: names made
// from the job's own output and copy ("<name>.partial", "<name>.partial-N"),
// regular files (never a link), directly in the job's work folder (opened
// once, never through a link), and modified no earlier than the job was
// admitted, so a leftover of an earlier run under the same name stays.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/bridge.h"

// Removes them from `folder`; `made` are the job's file names (without
// folder). Returns how many were removed. Any thread; blocks.
int64_t removePartials(const std::string& folder, const std::vector<std::string>& made,
                       std::chrono::system_clock::time_point notBefore);

// Main thread. Reads "job"; answers {"removed": n}, or {"error": sentence}
// for an unknown or running job. The removal runs on a work item.
void handleRemovePartialsRequest(Bridge& bridge, int64_t call, const Value& args);
