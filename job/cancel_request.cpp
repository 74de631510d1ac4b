#include "job/cancel_request.h"

#include <string>

#include "job/failure_text.h"
#include "job/job.h"

void handleCancelRequest(Bridge& bridge, int64_t call, const Value& args) {
    auto idIt = args.find("id");
    const std::string id = idIt != args.end() && idIt->is_string() ? idIt->get<std::string>() : "";
    auto it = bridge.jobs.find(id);
    if (it == bridge.jobs.end() || !it->second) {
        bridge.reply(call, Value{{"error", failure::kNoSuchJob}});
        return;
    }
    if (!it->second->running()) {
        bridge.reply(call, Value{{"error", failure::kJobFinished}});
        return;
    }
    it->second->cancel();
    bridge.reply(call, Value{{"ok", true}});
}

void stopEveryJob(Bridge& bridge) {
    for (auto& entry : bridge.jobs)
        if (entry.second && entry.second->running()) entry.second->cancel();
}
