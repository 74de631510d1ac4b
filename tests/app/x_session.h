// Driving the real application under a virtual X server: Xvfb, the
// application as a child process, and an X client that finds windows, reads
// pixels and acts as a user would (XTEST). Test thread only; the process must
// have no other threads when it starts a child.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

// Polls `done` every 50 ms until it is true or `timeoutMs` passes.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// `argv` run with `env` applied ("NAME=value" sets, a bare "NAME" removes),
// stdin from /dev/null, stdout and stderr into the given files. The
// destructor kills the child if it still runs.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
                 const std::string& err) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ != 0) return;
        for (const auto& e : env) {
            const size_t eq = e.find('=');
            eq == std::string::npos ? ::unsetenv(e.c_str()) : ::setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
        }
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ~ChildProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // The exit status once the child ended within `timeoutMs` (-1: killed by a signal).
    std::optional<int> waitExit(int timeoutMs) {
        waitFor([&] {
            int ws = 0;
            if (!status_ && pid_ > 0 && ::waitpid(pid_, &ws, WNOHANG) == pid_) status_ = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
            return status_.has_value();
        }, timeoutMs);
        return status_;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Xvfb on a display number of its own choosing; nothing when it does not start.
struct VirtualDisplay {
    static std::unique_ptr<VirtualDisplay> start(int width, int height) {
        int fds[2];
        if (::pipe(fds) != 0) return nullptr;
        auto d = std::make_unique<VirtualDisplay>();
        // Xvfb writes its display number to the inherited descriptor once it accepts connections.
        d->server = std::make_unique<ChildProcess>(
            std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                     std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp"},
            std::vector<std::string>{}, "/dev/null", "/dev/null");
        ::close(fds[1]);
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') d->name += c;
        ::close(fds[0]);
        if (d->name.empty()) return nullptr;
        d->name.insert(0, ":");
        return d;
    }
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
    explicit XClient(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {
        XSetErrorHandler([](Display*, XErrorEvent*) noexcept { return 0; });  // windows may vanish while we look
    }
    ~XClient() {
        if (dpy_) XCloseDisplay(dpy_);
    }
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;
    bool connected() const { return dpy_ != nullptr; }

    // A mapped top-level window whose title is `wanted`. GTK sets the UTF-8
    // _NET_WM_NAME; WM_NAME cannot carry a Korean title.
    std::optional<Window> findWindow(const std::string& wanted) {
        Window root = DefaultRootWindow(dpy_), parent, *children = nullptr;
        unsigned int n = 0;
        if (!XQueryTree(dpy_, root, &root, &parent, &children, &n)) return std::nullopt;
        const Atom utf8 = XInternAtom(dpy_, "UTF8_STRING", False), netName = XInternAtom(dpy_, "_NET_WM_NAME", False);
        std::optional<Window> found;
        for (unsigned int i = 0; i < n && !found; ++i) {
            XWindowAttributes a;
            Atom type;
            int format;
            unsigned long count, after;
            unsigned char* name = nullptr;
            if (XGetWindowAttributes(dpy_, children[i], &a) && a.map_state == IsViewable &&
                XGetWindowProperty(dpy_, children[i], netName, 0, 1024, False, utf8, &type, &format, &count, &after,
                                   &name) == Success && name) {
                if (wanted == std::string(reinterpret_cast<char*>(name), count)) found = children[i];
                XFree(name);
            }
        }
        if (children) XFree(children);
        return found;
    }

    struct Box {
        int x, y, width, height;  // relative to the root window
    };
    Box box(Window w) {
        XWindowAttributes a{};
        XGetWindowAttributes(dpy_, w, &a);
        int x = 0, y = 0;
        Window child;
        XTranslateCoordinates(dpy_, w, DefaultRootWindow(dpy_), 0, 0, &x, &y, &child);
        return {x, y, a.width, a.height};
    }

    // The minimum size the window asks the window manager for, if any.
    std::optional<std::pair<int, int>> minSize(Window w) {
        XSizeHints hints{};
        long supplied = 0;
        if (!XGetWMNormalHints(dpy_, w, &hints, &supplied) || !(hints.flags & PMinSize)) return std::nullopt;
        return std::make_pair(hints.min_width, hints.min_height);
    }

    // Root coordinates, row by row, from the 24-bit TrueColor visual of Xvfb.
    std::vector<Rgb> pixels(int x, int y, int width, int height) {
        std::vector<Rgb> out;
        XImage* image = XGetImage(dpy_, DefaultRootWindow(dpy_), x, y, unsigned(width), unsigned(height), AllPlanes,
                                  ZPixmap);
        if (!image) return {{-1, -1, -1}};
        for (int j = 0; j < height; ++j)
            for (int i = 0; i < width; ++i) {
                const unsigned long p = XGetPixel(image, i, j);
                out.push_back({int(p >> 16 & 0xFF), int(p >> 8 & 0xFF), int(p & 0xFF)});
            }
        XDestroyImage(image);
        return out;
    }
    Rgb pixel(int x, int y) { return pixels(x, y, 1, 1).at(0); }

    // Gives `w` the keyboard focus and presses the key, with Control if asked.
    void key(Window w, const char* keysym, bool control) {
        XSetInputFocus(dpy_, w, RevertToParent, CurrentTime);
        XSync(dpy_, False);
        const KeyCode ctrl = XKeysymToKeycode(dpy_, XK_Control_L), code = XKeysymToKeycode(dpy_, XStringToKeysym(keysym));
        if (control) XTestFakeKeyEvent(dpy_, ctrl, True, CurrentTime);
        XTestFakeKeyEvent(dpy_, code, True, CurrentTime);
        XTestFakeKeyEvent(dpy_, code, False, CurrentTime);
        if (control) XTestFakeKeyEvent(dpy_, ctrl, False, CurrentTime);
        XSync(dpy_, False);
    }

    // What a window manager's close button sends: WM_DELETE_WINDOW.
    void requestClose(Window w) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = w;
        e.xclient.message_type = XInternAtom(dpy_, "WM_PROTOCOLS", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = long(XInternAtom(dpy_, "WM_DELETE_WINDOW", False));
        XSendEvent(dpy_, w, False, NoEventMask, &e);
        XSync(dpy_, False);
    }

private:
    Display* dpy_;
};
