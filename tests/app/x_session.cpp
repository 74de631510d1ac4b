#include "x_session.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::unique_ptr<VirtualDisplay> VirtualDisplay::start(int width, int height) {
    int fds[2];
    if (::pipe(fds) != 0) return nullptr;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const std::string fd = std::to_string(fds[1]);
    std::vector<std::string> args = {"Xvfb", "-displayfd", fd, "-screen", "0", screen, "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return nullptr;
    }
    // Xvfb writes the display number once it accepts connections.
    std::string number;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (number.empty()) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        return nullptr;
    }
    return std::unique_ptr<VirtualDisplay>(new VirtualDisplay(pid, ":" + number));
}

VirtualDisplay::~VirtualDisplay() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<Env>& env,
                           const std::string& outFile, const std::string& errFile) {
    std::vector<std::string> envText;  // the inherited environment less the names `env` sets or removes
    for (char** e = environ; *e; ++e) {
        const std::string s = *e;
        if (std::none_of(env.begin(), env.end(), [&](const Env& v) { return s.rfind(v.name + "=", 0) == 0; }))
            envText.push_back(s);
    }
    for (const Env& e : env)
        if (!e.unset) envText.push_back(e.name + "=" + e.value);
    std::vector<char*> envp, args;
    for (auto& s : envText) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto& s : argCopy) args.push_back(s.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> ChildProcess::waitExit(int timeoutMs) {
    if (pid_ <= 0) return std::nullopt;
    waitFor(
        [&] {
            if (status_) return true;
            int ws = 0;
            if (::waitpid(pid_, &ws, WNOHANG) == pid_) status_ = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
            return status_.has_value();
        },
        timeoutMs);
    return status_;
}

namespace {

Rgb decode(const XImage* image, unsigned long p) {
    auto channel = [p](unsigned long mask) {
        int shift = 0;
        while (mask && !(mask & 1)) {
            mask >>= 1;
            ++shift;
        }
        return static_cast<int>((p >> shift) & mask);
    };
    return {channel(image->red_mask), channel(image->green_mask), channel(image->blue_mask)};
}

int ignoreErrors(Display*, XErrorEvent*) { return 0; }  // windows may vanish while we look
}  // namespace

XClient::XClient(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {
    XSetErrorHandler(ignoreErrors);
}

XClient::~XClient() {
    if (dpy_) XCloseDisplay(dpy_);
}

std::string XClient::title(Window w) {
    const Atom utf8 = XInternAtom(dpy_, "UTF8_STRING", False);
    const Atom netName = XInternAtom(dpy_, "_NET_WM_NAME", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::string out;
    if (XGetWindowProperty(dpy_, w, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
            Success &&
        data) {
        out.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
    }
    if (out.empty()) {
        char* name = nullptr;
        if (XFetchName(dpy_, w, &name) && name) {
            out = name;
            XFree(name);
        }
    }
    return out;
}

std::optional<Window> XClient::findWindow(const std::string& wanted) {
    Window root = DefaultRootWindow(dpy_), parent, *children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(dpy_, root, &root, &parent, &children, &n)) return std::nullopt;
    std::optional<Window> found;
    for (unsigned int i = 0; i < n && !found; ++i) {
        XWindowAttributes a;
        if (XGetWindowAttributes(dpy_, children[i], &a) && a.map_state == IsViewable &&
            title(children[i]) == wanted) {
            found = children[i];
        }
    }
    if (children) XFree(children);
    return found;
}

XClient::Box XClient::box(Window w) {
    XWindowAttributes a{};
    XGetWindowAttributes(dpy_, w, &a);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(dpy_, w, DefaultRootWindow(dpy_), 0, 0, &x, &y, &child);
    return {x, y, a.width, a.height};
}

std::optional<std::pair<int, int>> XClient::minSize(Window w) {
    XSizeHints hints{};
    long supplied = 0;
    if (!XGetWMNormalHints(dpy_, w, &hints, &supplied) || !(hints.flags & PMinSize)) return std::nullopt;
    return std::make_pair(hints.min_width, hints.min_height);
}

Rgb XClient::pixel(int x, int y) {
    const std::vector<Rgb> one = pixels(x, y, 1, 1);
    return one.empty() ? Rgb{-1, -1, -1} : one[0];
}

std::vector<Rgb> XClient::pixels(int x, int y, int width, int height) {
    std::vector<Rgb> out;
    XImage* image = XGetImage(dpy_, DefaultRootWindow(dpy_), x, y, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (!image) return out;
    for (int j = 0; j < height; ++j) {
        for (int i = 0; i < width; ++i) out.push_back(decode(image, XGetPixel(image, i, j)));
    }
    XDestroyImage(image);
    return out;
}

void XClient::key(Window w, const char* keysym, bool control) {
    XSetInputFocus(dpy_, w, RevertToParent, CurrentTime);
    XSync(dpy_, False);
    const KeyCode ctrl = XKeysymToKeycode(dpy_, XK_Control_L);
    const KeyCode code = XKeysymToKeycode(dpy_, XStringToKeysym(keysym));
    if (control) XTestFakeKeyEvent(dpy_, ctrl, True, CurrentTime);
    XTestFakeKeyEvent(dpy_, code, True, CurrentTime);
    XTestFakeKeyEvent(dpy_, code, False, CurrentTime);
    if (control) XTestFakeKeyEvent(dpy_, ctrl, False, CurrentTime);
    XSync(dpy_, False);
}

void XClient::requestClose(Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(dpy_, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy_, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy_, w, False, NoEventMask, &e);
    XSync(dpy_, False);
}
