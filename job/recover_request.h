// The "recover" request: admission on the main thread, then the job's
// pipeline on a background work item.
#pragma once

#include <cstdint>

#include "bridge/bridge.h"
#include "bridge/value.h"

// Main thread. Replies {"id": job id} or {"error": message}.
void handleRecoverRequest(Bridge& bridge, int64_t call, const Value& args);
