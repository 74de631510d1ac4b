// The headless front end: the same bridge, driven from standard input.
#pragma once

#include <memory>

#include "bridge/bridge.h"

// Reads one request envelope (JSON) per line from stdin and feeds it to the
// bridge as the page's script message would; writes every script the bridge
// evaluates, one per line, to stdout. At end of input waits for the work still
// running and its pushes, then returns 0. Nothing else goes to stdout.
// Runs the GLib main loop on the calling thread (the main thread).
int runHeadless(const std::shared_ptr<Bridge>& bridge);
