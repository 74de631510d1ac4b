// The two queues of the application.
//
// Main queue: a first-in first-out queue drained on the thread that runs the
// default GLib main context (the main thread). Posting is always deferred, also
// from the main thread, so work never runs inside the caller's stack.
//
// Background: every work item runs on a thread of its own, with no limit and
// nothing serialising them. The item owns what it captured until it returns.
//
// Exceptions thrown by a work item are caught and dropped at the queue's edge,
// so none ever unwinds into GLib or ends the process.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

using Work = std::function<void()>;

// Any thread.
void postMain(Work work);
// Any thread; runs once on the main queue after the delay.
void postMainAfter(std::chrono::milliseconds delay, Work work);
// Any thread.
void runInBackground(Work work);

// Background items still running plus main-queue items not yet run.
// The headless front end waits for this to reach zero before it exits.
int64_t pendingWork();

// Test helper: iterates the default main context on the calling thread until
// `done` is true or the timeout passes. Returns the last value of `done`.
bool runMainLoopUntil(const std::function<bool()>& done, int timeoutMs = 5000);
