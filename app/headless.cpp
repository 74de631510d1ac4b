#include "app/headless.h"

#include <glib.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "app/mount_watch.h"
#include "bridge/queues.h"
#include "bridge/script_sink.h"
#include "scan/scan.h"

namespace {

class StdoutSink : public ScriptSink {
public:
    void evaluateScript(const std::string& script) override {
        std::fwrite(script.data(), 1, script.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
};

struct LoopState {
    GMainLoop* loop;
    std::atomic<bool> inputDone{false};
};

}  // namespace

int runHeadless(const std::shared_ptr<Bridge>& bridge) {
    auto sink = std::make_shared<StdoutSink>();
    bridge->webView = sink;

    LoopState state{g_main_loop_new(nullptr, FALSE)};
    // Cards that come and go are told as in the window, so a test can stage one.
    MountWatch watch(mountDirectory(), false, [bridge] { bridge->push("__volumesChanged", Value::object()); });

    // Input is read on a thread of its own so the main loop keeps serving
    // replies and pushes while a line is awaited.
    std::thread([bridge, &state] {
        std::string line;
        while (std::getline(std::cin, line)) {
            postMain([bridge, line] { bridge->receive(line); });
        }
        postMain([&state] { state.inputDone = true; });
    }).detach();

    // All is said when input has ended and no work item or main-queue item is left.
    g_timeout_add(
        20,
        [](gpointer data) noexcept -> gboolean {
            auto* s = static_cast<LoopState*>(data);
            if (s->inputDone && pendingWork() == 0) {
                g_main_loop_quit(s->loop);
                return G_SOURCE_REMOVE;
            }
            return G_SOURCE_CONTINUE;
        },
        &state);

    g_main_loop_run(state.loop);
    g_main_loop_unref(state.loop);
    std::fflush(stdout);
    return 0;
}
