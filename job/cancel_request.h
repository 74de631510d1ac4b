// The "cancel" request: stops a running job; the job itself then pushes its
// final "cancelled" state.
#pragma once

#include <cstdint>

#include "bridge/bridge.h"
#include "bridge/value.h"

// Main thread. Reads "id"; replies {"ok": true} once the job has been asked
// to stop, or {"error": message} for an unknown or finished job.
void handleCancelRequest(Bridge& bridge, int64_t call, const Value& args);

// Main thread. Stops every running job (as "cancel" does), for an application
// about to end: their engines get SIGTERM now, and the kernel ends whatever
// is left when the application's threads go.
void stopEveryJob(Bridge& bridge);
