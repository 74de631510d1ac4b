#include "bridge/bridge.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "bridge/json_text.h"
#include "bridge/queues.h"
#include "bridge/resources.h"
#include "bridge/utf8.h"

namespace {

const char kNoLicenses[] = "오픈소스 라이선스 파일을 찾을 수 없습니다";
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

std::shared_ptr<Bridge> Bridge::create(Desktop& desktop) {
    return std::shared_ptr<Bridge>(new Bridge(desktop));  // constructor is private
}

Bridge::Bridge(Desktop& desktop) : desktop_(desktop) {
    handlers_["open"] = [](Bridge& b, int64_t call, const Value& args) { b.handleOpen(call, args); };
    handlers_["licenses"] = [](Bridge& b, int64_t call, const Value&) { b.handleLicenses(call); };
}

void Bridge::setHandler(const std::string& cmd, CommandHandler handler) {
    for (const char* known : kCommands) {
        if (cmd == known) {
            handlers_[cmd] = std::move(handler);
            return;
        }
    }
}

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

    const std::string cmd = cmdIt->get<std::string>();
    for (const char* known : kCommands) {
        if (cmd != known) continue;
        auto row = handlers_.find(cmd);
        if (row == handlers_.end() || !row->second) break;
        row->second(*this, *call, args);
        return;
    }
    reply(*call, Value{{"error", "unknown cmd"}});
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
}

void Bridge::handleOpen(int64_t call, const Value& args) {
    auto pathIt = args.find("path");
    // The page holds paths as pathText; the desktop gets their bytes.
    const std::string path =
        (pathIt != args.end() && pathIt->is_string()) ? pathBytes(pathIt->get_ref<const std::string&>()) : "";
    auto revealIt = args.find("reveal");
    const bool reveal = revealIt != args.end() && revealIt->is_boolean() && revealIt->get<bool>();
    // The desktop may have nothing to open the file with and then shows
    // nothing at all; the page says so next to the button instead.
    DesktopDone done = [self = shared_from_this(), call](std::optional<std::string> error) {
        self->reply(call, error ? Value{{"error", *error}} : Value{{"ok", true}});
    };
    if (reveal)
        desktop_.reveal(path, std::move(done));
    else
        desktop_.open(path, std::move(done));
}

void Bridge::handleLicenses(int64_t call) {
    std::string text = kNoLicenses;
    if (auto path = resourcePath("LICENSES.txt")) {
        std::ifstream in(*path, std::ios::binary);
        std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.good() || in.eof()) {
            if (isValidUtf8(contents)) text = std::move(contents);
        }
    }
    reply(call, Value{{"text", text}});
}
