// The desktop window: one GTK window with the web view showing the page.
#pragma once

#include <memory>

#include "app/options.h"
#include "bridge/bridge.h"

// Runs the application's window until it is closed; returns the exit status.
// Main thread.
int runWindow(int argc, char** argv, const Options& options, const std::shared_ptr<Bridge>& bridge);
