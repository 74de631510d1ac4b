#include "job/cancel_request.h"

#include <string>

#include "job/job.h"

void handleCancelRequest(Bridge& bridge, int64_t call, const Value& args) {
    auto idIt = args.find("id");
    const std::string id = idIt != args.end() && idIt->is_string() ? idIt->get<std::string>() : "";
    auto it = bridge.jobs.find(id);
    if (it == bridge.jobs.end() || !it->second) {
        bridge.reply(call, Value{{"error", "취소할 작업을 찾을 수 없습니다"}});
        return;
    }
    if (!it->second->running()) {
        bridge.reply(call, Value{{"error", "이미 끝난 작업입니다"}});
        return;
    }
    it->second->cancel();
    bridge.reply(call, Value{{"ok", true}});
}
