// Starting the repair engine as a child process and collecting its output.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class ChildHandle;

struct SpawnOptions {
    std::string executable;
    std::vector<std::string> args;  // without argv[0]
    // Each piece of the child's combined stdout and stderr, in order, on a
    // reader thread of its own, until the pipe's end.
    std::function<void(const char* data, size_t size)> onOutput;
    // Called on the calling thread once the child exists (before it is waited for).
    std::function<void(pid_t pid)> onStarted;
    // Told when the child exists and when it has ended (before it is
    // reaped), so another thread can stop it safely. Optional.
    std::shared_ptr<ChildHandle> handle;
};

struct SpawnResult {
    std::optional<int> spawnError;  // errno of a failed start; nothing else is set then
    std::optional<int> waitError;   // errno when the child's end could not be learned
    int exitStatus = 0;             // when it exited normally
    std::optional<int> signal;      // when a signal ended it
    int waitStatus = 0;
};

// Starts the executable with inherited stdin, environment and working
// directory, stdout and stderr into one pipe; blocks until the child has
// ended and its output has been read to the end (or, should a grandchild keep
// the pipe open, until it has stayed silent for a moment after the exit).
SpawnResult spawnAndWait(const SpawnOptions& options);

class Job;

// Runs the engine on `rsv` with the reference `ref` (empty: without one, with
// the job's donor when it has one), writing `out`, and maps its progress,
// time left and speed into the job's state; when the engine has ended, its
// lines go into the state as "log". A job cancelled meanwhile throws
// JobCancelled. Returns the engine log on exit status 0;
// throws JobError otherwise. Blocks until the engine has ended and its output
// has been read to the end.
std::vector<std::string> runUntrunc(Job& job, const std::string& ref, const std::string& rsv,
                                    const std::string& out);

// The Korean sentence for exit status N, then "(복구 엔진 종료 코드 N)". The
// engine's own lines are not part of it: they travel in the state's "log".
std::string exitMessage(int status);
