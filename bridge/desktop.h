// Opening and revealing files with the desktop's own programs.
// The bridge's "open" request goes through this; the platform layer (app/)
// supplies the implementation, tests supply a recorder.
#pragma once

#include <functional>
#include <optional>
#include <string>

// Called exactly once, on the main thread: with nothing when the desktop took
// the request, or with a Korean sentence for the page when it could not.
using DesktopDone = std::function<void(std::optional<std::string> error)>;

class Desktop {
public:
    virtual ~Desktop() = default;
    // Main thread. Both return at once and report through `done` later.
    virtual void open(const std::string& path, DesktopDone done) = 0;
    virtual void reveal(const std::string& path, DesktopDone done) = 0;
};
