#include "bridge/queues.h"
#include "media/probe.h"

void handleProbeRequest(Bridge& bridge, int64_t call, const Value& args) {
    std::string path;
    if (args.is_object()) {
        const auto it = args.find("path");
        if (it != args.end() && it->is_string()) path = it->get<std::string>();
    }
    // The work item keeps the bridge alive until it has answered.
    runInBackground([bridge = bridge.shared_from_this(), call, path = std::move(path)] {
        bridge->reply(call, probe(path));
    });
}
