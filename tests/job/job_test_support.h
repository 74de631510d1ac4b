// Helpers for the job tests: a bridge whose page records pushes, in a scratch
// folder, and small test engines written into a resources folder of their own.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/page.h"
#include "support/scratch.h"
#include "bridge/bridge.h"
#include "bridge/queues.h"
#include "bridge/resources.h"
#include "bridge/value.h"

namespace fs = std::filesystem;

// A bridge in a scratch folder whose page records every script it is sent.
struct PageBridgeTest : ::testing::Test {
    Scratch dir;
    RecordingDesktop desktop;
    std::shared_ptr<RecordingPage> page = std::make_shared<RecordingPage>();
    std::shared_ptr<Bridge> bridge = Bridge::create();
    void SetUp() override { bridge->webView = page; }
};

inline void writeFile(const std::string& path, const std::string& contents) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

// A test engine: records its arguments beside itself in "args", prints the
// reference file as its output, copies the RSV to the "-dst" path and exits
// with the status written in "<ref>.exit" (0 when there is none).
inline const char kEchoEngine[] =
    "#!/bin/sh\n"
    "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\n"
    "cat \"$5\"\n"
    "cp \"$6\" \"$4\"\n"
    "if [ -f \"$5.exit\" ]; then exit \"$(cat \"$5.exit\")\"; fi\n"
    "exit 0\n";

// Lays out a resources folder holding `engine` as "untrunc" and makes it current.
inline void installEngine(const std::string& resources, const std::string& engine) {
    writeFile(resources + "/untrunc", engine);
    ::chmod((resources + "/untrunc").c_str(), 0755);
    setResourcesDir(resources);
}

// The Job states pushed to the page, and the "data" of every answer, in order.
inline std::vector<Value> progressStates(const std::vector<std::string>& scripts) {
    return pageCalls(scripts, "__progress");
}
inline std::vector<Value> answers(const std::vector<std::string>& scripts) {
    std::vector<Value> out;
    for (const Value& v : pageCalls(scripts, "__resolve")) out.push_back(v["data"]);
    return out;
}

// Runs the main queue until no work is left.
inline void drain(int timeoutMs = 20000) {
    runMainLoopUntil([] { return pendingWork() == 0; }, timeoutMs);
}
