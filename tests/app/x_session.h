// Driving the real application under a virtual X server: Xvfb, the
// application as a child process, and an X client that finds windows, reads
// pixels and acts as a user would (XTEST). Test thread only; the process must
// have no other threads when it starts a child.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Polls `done` every 50 ms until it is true or `timeoutMs` passes.
bool waitFor(const std::function<bool()>& done, int timeoutMs);

// `argv` run with `env` applied ("NAME=value" sets, a bare "NAME" removes),
// stdin from /dev/null, stdout and stderr into the given files. The
// destructor kills the child if it still runs.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
                 const std::string& err);
    ~ChildProcess();
    bool started() const { return pid_ > 0; }
    // The exit status once the child ended within `timeoutMs` (-1: killed by a signal).
    std::optional<int> waitExit(int timeoutMs);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Xvfb on a display number of its own choosing; nothing when it does not start.
struct VirtualDisplay {
    static std::unique_ptr<VirtualDisplay> start(int width, int height);
    std::unique_ptr<ChildProcess> server;
    std::string name;
};

struct Rgb {
    int r, g, b;
};
inline std::ostream& operator<<(std::ostream& o, const Rgb& c) {
    return o << "rgb(" << c.r << "," << c.g << "," << c.b << ")";
}

class XClient {
public:
    explicit XClient(const std::string& display);
    ~XClient();
    bool connected() const { return dpy_ != nullptr; }

    // A mapped top-level window whose WM_NAME is `title`.
    std::optional<Window> findWindow(const std::string& title);
    struct Box {
        int x, y, width, height;  // relative to the root window
    };
    Box box(Window w);
    // The minimum size the window asks the window manager for, if any.
    std::optional<std::pair<int, int>> minSize(Window w);
    std::vector<Rgb> pixels(int x, int y, int width, int height);  // root coordinates, row by row
    Rgb pixel(int x, int y) { return pixels(x, y, 1, 1).at(0); }
    // Gives `w` the keyboard focus and presses the key, with Control if asked.
    void key(Window w, const char* keysym, bool control);
    // What a window manager's close button sends: WM_DELETE_WINDOW.
    void requestClose(Window w);

private:
    Display* dpy_;
};
