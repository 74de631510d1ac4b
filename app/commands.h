// Fills the bridge's command table with the rows of every subsystem.
#pragma once

#include "bridge/bridge.h"

void installCommands(Bridge& bridge);
