// The one receiver of the page's requests.
//
// The page posts a request envelope {"cmd", "call", "args"}; the bridge decodes
// it on the main thread and hands it to the row of its command table. Rows
// answer through `reply`, from any thread; every answer and every pushed event
// reaches the page on the main queue, in the order it was submitted.
//
// Ownership: the bridge is shared (work items keep it alive until they have
// run); it refers to its web view weakly and owns every Job for the rest of the
// run. `jobs` is touched only on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "bridge/script_sink.h"
#include "bridge/value.h"

class Job;
class Bridge;

// A row of the command table: gets the request's call number and its "args"
// (an object, empty when the page sent none or something else). Main thread.
using CommandHandler = std::function<void(Bridge& bridge, int64_t call, const Value& args)>;
// Sees every value pushed to the page, after it was sent. Main thread.
using PushObserver = std::function<void(const std::string& name, const Value& value)>;

class Bridge : public std::enable_shared_from_this<Bridge> {
public:
    // A bridge with an empty table: every command answers "unknown cmd"
    // until its row is set (app/commands.cpp holds the one table).
    static std::shared_ptr<Bridge> create();

    // Sets the row of `cmd` (compared exactly, case-sensitive). Main thread,
    // before the page loads.
    void setHandler(const std::string& cmd, CommandHandler handler);
    // Main thread; replaces any earlier observer.
    void observePushes(PushObserver observer) { observer_ = std::move(observer); }

    // A script message from the page, as JSON text. A body that is not a
    // well-formed envelope is dropped without an answer. Main thread.
    void receive(const std::string& bodyJson);
    // The same for a body that is already parsed.
    void receive(const Value& body);

    // Answers request `call` with `value` through window.__resolve. Any thread;
    // the answer is always delivered on a later turn of the main queue.
    void reply(int64_t call, Value value);

    // Calls window.<name>(value) in the page if the page defines it. Does
    // nothing once the web view is gone. Main thread only.
    void push(const std::string& name, const Value& value);

    std::weak_ptr<ScriptSink> webView;
    std::map<std::string, std::shared_ptr<Job>> jobs;  // main thread only

private:
    Bridge() = default;

    std::map<std::string, CommandHandler> handlers_;
    PushObserver observer_;
};
