// Stopping a child: SIGTERM first, SIGKILL for one that ignores it, and a
// stop that comes before the start.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "job/child_handle.h"
#include "job/child_process.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

pid_t spawnShell(const std::string& script) {
    std::vector<std::string> store{"/bin/sh", "-c", script};
    std::vector<char*> argv;
    for (auto& s : store) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

// Waits as the engine run does: see the end, tell the handle, then reap.
int waitLikeTheRun(ChildHandle& handle, pid_t pid) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
    }
    handle.ended();
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

}  // namespace

TEST(ChildHandle, term_first_then_kill_for_a_child_that_ignores_it) {
    struct Row {
        const char* why;
        const char* script;
        int signal;
        bool stopBeforeStart;
    };
    const Row rows[] = {
        {"ends on SIGTERM", "exec sleep 30", SIGTERM, false},
        {"ignores SIGTERM: killed after the grace", "trap '' TERM; : > \"$READY\"; exec sleep 30", SIGKILL, false},
        {"stop asked before the start", "exec sleep 30", SIGTERM, true},
    };
    const std::string ready = ::testing::TempDir() + "/tv-child-ready-" + std::to_string(getpid());
    setenv("READY", ready.c_str(), 1);
    for (const Row& r : rows) {
        std::remove(ready.c_str());
        auto handle = ChildHandle::create();
        if (r.stopBeforeStart) handle->stop(300ms);
        const pid_t pid = spawnShell(r.script);
        ASSERT_GT(pid, 0);
        handle->started(pid);
        // A shell that ignores SIGTERM must have said so before it is asked.
        if (std::string(r.script).find("READY") != std::string::npos)
            while (access(ready.c_str(), F_OK) != 0) std::this_thread::sleep_for(10ms);
        if (!r.stopBeforeStart) handle->stop(300ms);
        const int status = waitLikeTheRun(*handle, pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << r.why;
        EXPECT_EQ(WTERMSIG(status), r.signal) << r.why;
        EXPECT_TRUE(handle->stopping());
    }
    std::remove(ready.c_str());
}

namespace {

// The engine ends with the application however the application ends: here
// the process that started it is killed outright.
TEST(child_process, a_child_never_outlives_the_thread_that_started_it) {
    char pattern[] = "/tmp/tv-child-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern, pidFile = dir + "/pid";
    const pid_t app = ::fork();
    ASSERT_GE(app, 0);
    if (app == 0) {
        std::thread([&] {
            ChildOptions options;
            options.executable = "/bin/sh";
            options.args = {"-c", "echo $$ > " + pidFile + ".tmp && mv " + pidFile + ".tmp " + pidFile + " && exec sleep 60"};
            runChild(options);
        }).detach();
        for (int i = 0; i < 500 && ::access(pidFile.c_str(), F_OK) != 0; ++i) ::usleep(10000);
        ::raise(SIGKILL);
    }
    int status = 0;
    ::waitpid(app, &status, 0);
    std::ifstream in(pidFile);
    pid_t engine = 0;
    in >> engine;
    ASSERT_GT(engine, 0);
    auto gone = [&] {
        std::ifstream stat("/proc/" + std::to_string(engine) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        return text.empty() || text.find(") Z") != std::string::npos;
    };
    for (int i = 0; i < 500 && !gone(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(gone()) << "the engine outlived the application";
    ::kill(engine, SIGKILL);
    std::filesystem::remove_all(dir);
}

}  // namespace
