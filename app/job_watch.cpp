#include "app/job_watch.h"

#include <algorithm>
#include <cmath>

namespace {

bool finished(const std::string& stage) { return stage == "done" || stage == "error" || stage == "cancelled"; }

std::string text(const Value& state, const char* key) {
    auto it = state.find(key);
    return it != state.end() && it->is_string() ? it->get<std::string>() : std::string();
}

JobNotice noticeFor(const Value& state, const std::string& stage, const std::string& name) {
    if (stage == "error") return {"복구 실패 — " + name, text(state, "error")};
    if (stage == "cancelled") return {"복구 취소됨 — " + name, text(state, "detail")};
    auto partial = state.find("partial");
    if (partial != state.end() && partial->is_boolean() && partial->get<bool>())
        return {"일부 손상된 채 복구됨 — " + name, "손상된 구간을 확인하세요. 편집 프로그램에서 확인하기 전에는 카드를 포맷하지 마세요."};
    return {"복구 완료 — " + name, "편집 프로그램에서 확인하기 전에는 카드를 포맷하지 마세요."};
}

}  // namespace

void JobWatch::admitted(const std::string& id, const std::string& rsvName) {
    jobs_.push_back(Entry{id, rsvName, "queue", 0});
}

std::optional<JobNotice> JobWatch::update(const Value& state) {
    const std::string id = text(state, "id");
    auto it = std::find_if(jobs_.begin(), jobs_.end(), [&](const Entry& e) { return e.id == id; });
    if (it == jobs_.end()) return std::nullopt;
    auto pct = state.find("pct");
    if (pct != state.end() && pct->is_number()) it->pct = int(std::clamp(std::floor(pct->get<double>()), 0.0, 100.0));
    const std::string stage = text(state, "stage");
    if (stage.empty()) return std::nullopt;
    const bool ends = finished(stage) && !finished(it->stage);
    it->stage = stage;
    if (!ends) return std::nullopt;
    return noticeFor(state, stage, it->name);
}

std::string JobWatch::title() const {
    const Entry* first = nullptr;
    int others = 0;
    for (const Entry& e : jobs_) {
        if (finished(e.stage)) continue;
        if (first) ++others; else first = &e;
    }
    if (!first) return kAppTitle;
    std::string t = std::to_string(first->pct) + " % · " + first->name;
    if (others > 0) t += " 외 " + std::to_string(others) + "개";
    return t + " — " + kAppTitle;
}
