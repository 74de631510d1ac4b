#include "job/engine_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <system_error>
#include <cerrno>
#include <thread>

#include "bridge/resources.h"
#include "engine/base/engine_contract.h"
#include "engine/base/unique_fd.h"
#include "job/job.h"
#include "job/failure_text.h"
#include "job/job_error.h"
#include "job/output_reader.h"
#include "job/rate.h"
#include "scan/fs_queries.h"

extern char** environ;

namespace {

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char kNoEngine[] = "복구 엔진을 찾을 수 없습니다";
constexpr size_t kReadPiece = 64 * 1024;
// After the child has exited, a pipe that stays silent this long is taken as
// finished even if a process it left behind still holds it open.
constexpr int kQuietAfterExitMs = 500;

void readToEnd(int fd, const std::atomic<bool>& exited, const SpawnOptions& options) {
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

}  // namespace

SpawnResult spawnAndWait(const SpawnOptions& options) {
    SpawnResult result;
    int fds[2];
    // Close-on-exec, so engines of other jobs started meanwhile never inherit
    // this pipe and keep it open.
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        result.spawnError = errno;
        return result;
    }
    tv::UniqueFd readEnd(fds[0]);
    tv::UniqueFd writeEnd(fds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);

    std::vector<std::string> argvStore;
    argvStore.push_back(options.executable);
    argvStore.insert(argvStore.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    int err = ::posix_spawn(&pid, options.executable.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        result.spawnError = err;
        return result;
    }
    writeEnd.close();  // only the child writes now; its exit brings the end of the pipe
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

    // The end is seen first and reaped after the handle knows: until then the
    // pid cannot be given to another process, so a stop never reaches one.
    siginfo_t ended{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    if (options.handle) options.handle->ended();
    int status = 0;
    pid_t waited;
    while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    const int waitErrno = waited < 0 ? errno : 0;
    exited = true;
    if (reader.joinable()) reader.join();
    if (waitErrno != 0) {
        // Never taken for success: without a status the run did not succeed.
        result.waitError = waitErrno;
        return result;
    }

    result.waitStatus = status;
    if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
        result.exitStatus = 128 + WTERMSIG(status);
    } else {
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

std::string exitMessage(int status) {
    return engineFailureText(status) + " (복구 엔진 종료 코드 " + std::to_string(status) + ")";
}

std::vector<std::string> runUntrunc(Job& job, const std::string& ref, const std::string& rsv,
                                    const std::string& out) {
    std::optional<std::string> engine = resourcePath("untrunc");
    if (!engine) throw JobError("untrunc", 1, kNoEngine);

    // Time left and speed over the engine's whole run (its walk and its
    // writing), measured against the RSV it works through.
    const RateEstimate rate(fileSize(rsv), monotonicSeconds());
    constexpr double kEngineSpan = engine_contract::kVerifyStart - engine_contract::kWalkBandStart;
    OutputReader reader([&job, &rate](const Value& changes) {
        Value merged = changes;
        if (changes.contains("pct") && changes["pct"].is_number()) {
            const double done = (changes["pct"].get<double>() - engine_contract::kWalkBandStart) / kEngineSpan;
            merged.update(rate.at(done, monotonicSeconds()));
        }
        job.update(merged);
    });
    SpawnOptions options;
    options.executable = *engine;
    using namespace engine_contract;
    if (ref.empty()) {
        options.args = {kFlagNoQuestions, kFlagRsv, kFlagNoReference};
        if (!job.donor.empty()) options.args.insert(options.args.end(), {kFlagDonor, job.donor});
        options.args.insert(options.args.end(), {kFlagOutput, out, rsv});
    } else {
        options.args = {kFlagNoQuestions, kFlagRsv, kFlagOutput, out, ref, rsv};
    }
    options.onOutput = [&reader](const char* data, size_t size) { reader.feed(data, size); };
    options.onStarted = [&job](pid_t pid) { job.proc = EngineProcess{pid, std::nullopt}; };
    options.handle = job.engine;

    job.throwIfCancelled();
    SpawnResult result = spawnAndWait(options);
    if (result.spawnError) throw JobError::system(*result.spawnError);
    if (result.waitError) throw JobError::system(*result.waitError);
    if (job.proc) job.proc->waitStatus = result.waitStatus;

    // The lines travel apart from the message, for whoever helps the user.
    Value lines = Value::array();
    for (std::string& line : reader.takeLines()) lines.push_back(std::move(line));
    job.update(Value{{"log", std::move(lines)}});
    job.throwIfCancelled();

    std::vector<std::string> log = reader.takeLog();
    if (!result.signal && result.exitStatus == engine_contract::kExitSuccess) return log;
    throw JobError("untrunc", result.exitStatus, exitMessage(result.exitStatus));
}
