// Test helpers for driving the real application under a virtual X server:
// the server itself, the application as a child process, and an X client that
// finds windows, reads pixels and sends keys as a user would (XTEST).
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Polls `done` every 50 ms until it is true or `timeoutMs` passes.
bool waitFor(const std::function<bool()>& done, int timeoutMs);

// Xvfb on a display of its own choosing; stopped by the destructor.
class VirtualDisplay {
public:
    // Nothing when Xvfb is not installed or does not start.
    static std::unique_ptr<VirtualDisplay> start(int width, int height);
    ~VirtualDisplay();
    const std::string& name() const { return name_; }

private:
    VirtualDisplay(pid_t pid, std::string name) : pid_(pid), name_(std::move(name)) {}
    pid_t pid_;
    std::string name_;
};

// A child process with the given environment changes (an empty value with
// `unset` true removes the variable); stdout and stderr go to files.
class ChildProcess {
public:
    struct Env {
        std::string name, value;
        bool unset = false;
    };
    ChildProcess(const std::vector<std::string>& argv, const std::vector<Env>& env, const std::string& outFile,
                 const std::string& errFile);
    ~ChildProcess();  // kills the child if it still runs
    bool started() const { return pid_ > 0; }
    // The exit status once the child has ended within `timeoutMs`; -1 for a
    // signal; nothing while it still runs.
    std::optional<int> waitExit(int timeoutMs);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct Rgb {
    int r, g, b;
};

class XClient {
public:
    explicit XClient(const std::string& display);
    ~XClient();
    bool connected() const { return dpy_ != nullptr; }

    // A mapped top-level window with this title (_NET_WM_NAME or WM_NAME).
    std::optional<Window> findWindow(const std::string& title);
    std::string title(Window w);
    struct Box {
        int x, y, width, height;  // position relative to the root window
    };
    Box box(Window w);
    // The minimum size the window asks the window manager for, if any.
    std::optional<std::pair<int, int>> minSize(Window w);
    Rgb pixel(int x, int y);  // root coordinates
    std::vector<Rgb> pixels(int x, int y, int width, int height);  // row by row
    // Gives `w` the keyboard focus and presses the key, with Control if asked.
    void key(Window w, const char* keysym, bool control);
    // What a window manager's close button sends: WM_DELETE_WINDOW.
    void requestClose(Window w);

private:
    Display* dpy_;
};
