// A small runner for one child process: options in, a result out that tells
// a failed start, a stop on request and the child's own end apart.
//
// The child never outlives the application: it runs in a process group of
// its own (so a stop reaches whatever it starts) and the kernel kills it
// should the thread that started it end (PR_SET_PDEATHSIG), which covers a
// crash, a kill and a quit of the application alike. That thread waits for
// the child, so it outlives it in every orderly run.
//
// Thread: blocks the calling thread; `onOutput` runs on a reader thread of
// its own (or on the calling thread when no thread can be made).
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class ChildHandle;

struct ChildOptions {
    std::string executable;
    std::vector<std::string> args;  // without argv[0]
    // Descriptors the child gets: {open descriptor here, number in the child}
    // (numbers from 3 on; stdin is inherited, stdout and stderr are the pipe).
    std::vector<std::pair<int, int>> inherit;
    // Each piece of the child's combined stdout and stderr, in order, until
    // the pipe's end.
    std::function<void(const char* data, size_t size)> onOutput;
    // Called on the calling thread once the child exists.
    std::function<void(pid_t pid)> onStarted;
    // Told when the child exists and when it has ended (before it is
    // reaped), so another thread can stop it safely. Optional.
    std::shared_ptr<ChildHandle> handle;
};

struct ChildResult {
    enum class End {
        NotStarted,  // `error` holds the errno of the failed start
        Lost,        // the child's end could not be learned (`error`)
        Stopped,     // `handle` was asked to stop it; the statuses below say how it ended
        Exited,      // `exitStatus`
        Signalled,   // `signal`; `exitStatus` is 128 + signal, as a shell says it
    };
    End end = End::NotStarted;
    int error = 0;
    int exitStatus = 0;
    std::optional<int> signal;
    int waitStatus = 0;  // raw, from waitpid
};

// Starts the executable with the inherited environment and working
// directory; blocks until it has ended and its output has been read to the
// end (or, should a grandchild keep the pipe open, until it has stayed silent
// for a moment after the exit).
ChildResult runChild(const ChildOptions& options);
