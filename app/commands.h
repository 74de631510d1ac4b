// The one command table: every request the page may send, and its row.
#pragma once

#include "app/shell.h"
#include "bridge/bridge.h"
#include "bridge/desktop.h"

// Fills every row. `desktop` and `shell` must outlive the bridge. Main
// thread, before the page loads.
void installCommands(Bridge& bridge, Desktop& desktop, Shell& shell);
