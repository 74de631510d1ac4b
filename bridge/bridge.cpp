#include "bridge/bridge.h"

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "bridge/json_text.h"
#include "bridge/queues.h"

namespace {

// No request of the page nests deeper than a few levels. A deeper body would
// overflow the stack in every recursive walk of it (copying "args", writing
// JSON), so it is malformed.
constexpr size_t kMaxNesting = 64;

// Whether `v` nests containers deeper than `limit`; walks with its own stack,
// never recursing, so any depth is measured safely.
bool nestedDeeperThan(const Value& v, size_t limit) {
    std::vector<std::pair<const Value*, size_t>> pending{{&v, 1}};
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        if (!node->is_structured()) continue;
        if (depth > limit) return true;
        for (const Value& child : *node) pending.emplace_back(&child, depth + 1);
    }
    return false;
}

// "call" must be a number with an integral value that fits 64 bits; strings,
// booleans and fractions are not request numbers.
std::optional<int64_t> callNumber(const Value& v) {
    if (v.is_number_integer()) {
        if (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max()))
            return std::nullopt;
        return v.get<int64_t>();
    }
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (!std::isfinite(d) || d != std::trunc(d)) return std::nullopt;
        if (d < -9.2233720368547758e18 || d >= 9.2233720368547758e18) return std::nullopt;
        return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<Bridge> Bridge::create() {
    return std::shared_ptr<Bridge>(new Bridge());  // constructor is private
}

void Bridge::setHandler(const std::string& cmd, CommandHandler handler) { handlers_[cmd] = std::move(handler); }

void Bridge::receive(const std::string& bodyJson) {
    Value body = Value::parse(bodyJson, nullptr, /*allow_exceptions=*/false);
    if (body.is_discarded()) return;
    receive(body);
}

void Bridge::receive(const Value& body) {
    if (!body.is_object() || nestedDeeperThan(body, kMaxNesting)) return;
    auto cmdIt = body.find("cmd");
    if (cmdIt == body.end() || !cmdIt->is_string()) return;
    auto callIt = body.find("call");
    if (callIt == body.end()) return;
    std::optional<int64_t> call = callNumber(*callIt);
    if (!call) return;
    auto argsIt = body.find("args");
    const Value args = (argsIt != body.end() && argsIt->is_object()) ? *argsIt : Value::object();

    auto row = handlers_.find(cmdIt->get<std::string>());
    if (row == handlers_.end() || !row->second) {
        reply(*call, Value{{"error", "unknown cmd"}});
        return;
    }
    row->second(*this, *call, args);
}

void Bridge::reply(int64_t call, Value value) {
    postMain([self = shared_from_this(), call, value = std::move(value)] {
        Value envelope = Value::object();
        envelope["call"] = call;
        envelope["data"] = value;
        self->push("__resolve", envelope);
    });
}

void Bridge::push(const std::string& name, const Value& value) {
    std::shared_ptr<ScriptSink> view = webView.lock();
    if (!view) return;
    view->evaluateScript("window." + name + " && window." + name + "(" + jsonString(value) + ")");
    if (observer_) observer_(name, value);
}

