// The desktop window: one GTK window with the web view showing the page.
#pragma once

#include <memory>

#include "app/options.h"
#include "bridge/bridge.h"
#include "bridge/desktop.h"

// Opens the application's window on the page and runs the GTK main loop. The
// window takes `bridge` as its page channel: the page's "bridge" messages go to
// Bridge::receive and the bridge's webView is set to the window's web view;
// it fills the bridge's command table with its own shell and `desktop`
// (which must outlive the process's main loop).
// When the window is closed (or the quit item is chosen) the process ends at
// once with status 0; work still running is not waited for. Returns only when
// the window cannot be opened (no display): status 1. Main thread.
int runWindow(int argc, char** argv, const Options& options, const std::shared_ptr<Bridge>& bridge, Desktop& desktop);
