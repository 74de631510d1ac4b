#include "job/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

#include "engine/base/unique_fd.h"
#include "job/child_handle.h"

extern char** environ;

namespace {

constexpr size_t kReadPiece = 64 * 1024;
// After the child has exited, a pipe that stays silent this long is taken as
// finished even if a process it left behind still holds it open.
constexpr int kQuietAfterExitMs = 500;
// Descriptors handed on are first moved above the ones the child is given,
// so putting one in place can never overwrite another still to be placed.
constexpr int kAboveTargets = 64;

void readToEnd(int fd, const std::atomic<bool>& exited, const ChildOptions& options) {
    std::string piece(kReadPiece, '\0');
    int quietMs = 0;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, 100);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) {
            if (exited.load()) {
                quietMs += 100;
                if (quietMs >= kQuietAfterExitMs) return;
            }
            continue;
        }
        quietMs = 0;
        ssize_t n = ::read(fd, piece.data(), piece.size());
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        if (n == 0) return;  // every writer has closed: all output is in
        try {
            if (options.onOutput) options.onOutput(piece.data(), static_cast<size_t>(n));
        } catch (...) {
            // Keep draining: a child blocked on a full pipe would never exit.
        }
    }
}

// In the child between fork and exec: only async-signal-safe calls. Reports
// a failure's errno on `report` and ends.
[[noreturn]] void becomeChild(pid_t parent, int out, int report, const std::vector<std::pair<int, int>>& moves,
                              char* const* argv, const char* path) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);  // the starting thread is already gone
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    bool placed = ::dup2(out, STDOUT_FILENO) >= 0 && ::dup2(out, STDERR_FILENO) >= 0;
    for (const auto& move : moves) placed = placed && ::dup2(move.first, move.second) >= 0;
    if (placed) ::execve(path, argv, environ);
    const int err = errno;
    (void)!::write(report, &err, sizeof err);
    ::_exit(127);
}

// The child's end: seen first, reaped after the handle knows, so the pid
// cannot be given to another process while a stop may still signal it.
ChildResult awaitEnd(pid_t pid, const ChildOptions& options) {
    ChildResult result;
    siginfo_t ended{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    if (options.handle) options.handle->ended();
    int status = 0;
    pid_t waited;
    while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited < 0) {
        result.end = ChildResult::End::Lost;  // never taken for success
        result.error = errno;
        return result;
    }
    result.waitStatus = status;
    if (WIFSIGNALED(status)) {
        result.end = ChildResult::End::Signalled;
        result.signal = WTERMSIG(status);
        result.exitStatus = 128 + WTERMSIG(status);
    } else {
        result.end = ChildResult::End::Exited;
        result.exitStatus = WEXITSTATUS(status);
    }
    if (options.handle && options.handle->stopping()) result.end = ChildResult::End::Stopped;
    return result;
}

}  // namespace

ChildResult runChild(const ChildOptions& options) {
    ChildResult failed;
    int fds[2], reportFds[2];
    // Close-on-exec, so children of other jobs started meanwhile never
    // inherit these pipes and keep them open.
    if (::pipe2(fds, O_CLOEXEC) != 0 || ::pipe2(reportFds, O_CLOEXEC) != 0) {
        failed.error = errno;
        return failed;
    }
    tv::UniqueFd readEnd(fds[0]), writeEnd(fds[1]), reportRead(reportFds[0]), reportWrite(reportFds[1]);

    std::vector<tv::UniqueFd> lifted;
    std::vector<std::pair<int, int>> moves;
    for (const auto& [fd, target] : options.inherit) {
        lifted.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, kAboveTargets));
        if (lifted.back().get() < 0) {
            failed.error = errno;
            return failed;
        }
        moves.emplace_back(lifted.back().get(), target);
    }
    std::vector<std::string> argvStore{options.executable};
    argvStore.insert(argvStore.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        failed.error = errno;
        return failed;
    }
    if (pid == 0) becomeChild(parent, writeEnd.get(), reportWrite.get(), moves, argv.data(), argvStore[0].c_str());

    writeEnd.close();  // only the child writes now; its exit brings the end of the pipe
    reportWrite.close();
    lifted.clear();
    int startErr = 0;
    ssize_t got;
    while ((got = ::read(reportRead.get(), &startErr, sizeof startErr)) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof startErr)) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        failed.error = startErr;
        return failed;
    }
    if (options.onStarted) options.onStarted(pid);
    if (options.handle) options.handle->started(pid);

    std::atomic<bool> exited{false};
    auto readAll = [&]() noexcept {
        try {
            readToEnd(readEnd.get(), exited, options);
        } catch (...) {
            // Output that cannot be taken in is lost; the run still waits for its end.
        }
    };
    std::thread reader;
    try {
        reader = std::thread(readAll);
    } catch (const std::system_error&) {
        readAll();  // no thread to spare: read here, to the end, before waiting
    }
    ChildResult result = awaitEnd(pid, options);
    exited = true;
    if (reader.joinable()) reader.join();
    return result;
}
