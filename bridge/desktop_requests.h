// The two rows served by the bridge's own subsystem: "open" (open or reveal
// a file with the desktop's programs) and "licenses" (the licence texts).
#pragma once

#include <cstdint>

#include "bridge/bridge.h"
#include "bridge/desktop.h"

// Reads "path" (a string, else empty) and "reveal" (a boolean, else false);
// answers {"ok": true}, or {"error": sentence} when the desktop could not.
// `desktop` must outlive every request. Main thread.
void handleOpenRequest(Desktop& desktop, Bridge& bridge, int64_t call, const Value& args);

// Answers {"text": LICENSES.txt}, or a Korean sentence when the file is
// missing or not UTF-8. Main thread.
void handleLicensesRequest(Bridge& bridge, int64_t call, const Value& args);
