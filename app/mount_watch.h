// Watching for cards that come and go: the desktop's volume monitor (mounts
// added or removed, optional) and a monitor on the mount directory itself
// (folders appearing or disappearing there, which is also how a test stages
// a card).
// A burst of events is told once, after it has settled.
//
// Main thread only: create, use and destroy it on the thread that runs the
// default GLib main context; `changed` is called there.
#pragma once

#include <functional>
#include <memory>
#include <string>

class MountWatch {
public:
    // `desktopMounts`: also follow the desktop's volume monitor (the window
    // does; the headless front end watches the folder only, so it never
    // starts the desktop's volume services or touches the home folder).
    MountWatch(const std::string& mountDir, bool desktopMounts, std::function<void()> changed);
    ~MountWatch();
    MountWatch(const MountWatch&) = delete;
    MountWatch& operator=(const MountWatch&) = delete;

    struct State;

private:
    std::unique_ptr<State> state_;
};
