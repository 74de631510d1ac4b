// Fuzz target: bytes as a request envelope posted by the page. The bridge must
// drop or answer every body without crashing; the answers are drained through
// the main queue into a recording page, and the JSON text of any well-formed
// body must read back as the same value.
#include "bridge/bridge.h"
#include "bridge/desktop_requests.h"
#include "bridge/json_text.h"
#include "bridge/queues.h"
#include "tests/support/page.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Harness {
    RecordingDesktop desktop;
    std::shared_ptr<RecordingPage> page = std::make_shared<RecordingPage>();
    std::shared_ptr<Bridge> bridge = Bridge::create();

    Harness() {
        bridge->webView = page;
        // One row that answers with what it was given, once at once and once
        // from a worker thread, so arbitrary values travel the reply path.
        bridge->setHandler("probe", [](Bridge& b, int64_t call, const Value& args) {
            b.reply(call, args);
            runInBackground([self = b.shared_from_this(), call, args] { self->reply(call, args); });
        });
        bridge->setHandler("open", [this](Bridge& b, int64_t call, const Value& args) {
            handleOpenRequest(desktop, b, call, args);
        });
        bridge->setHandler("licenses", handleLicensesRequest);
    }
};

Harness& harness() {
    // Every input drains its work, so no worker outlives the harness at exit.
    static Harness h;
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = harness();
    const std::string body(reinterpret_cast<const char*>(data), size);
    h.bridge->receive(body);

    const Value parsed = Value::parse(body, nullptr, false);
    // "{}" is the documented answer for values JSON cannot carry.
    const std::string text = parsed.is_discarded() ? "{}" : jsonString(parsed);
    if (text != "{}" && Value::parse(text, nullptr, false) != parsed) {
        std::fprintf(stderr, "jsonString does not read back: %s\n", text.c_str());
        std::abort();
    }

    runMainLoopUntil([] { return pendingWork() == 0; }, 2000);
    if (pendingWork() != 0) {
        std::fprintf(stderr, "replies still pending after 2 s\n");
        std::abort();
    }
    h.page->scripts.clear();
    h.desktop.calls.clear();
    return 0;
}
