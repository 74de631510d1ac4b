// Test doubles for what the bridge talks to: a page that records every script
// (and reads back the values the application handed it), and a desktop that
// records what it was asked to open or reveal. Main thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bridge/desktop.h"
#include "bridge/script_sink.h"
#include "bridge/value.h"

class RecordingPage : public ScriptSink {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    std::vector<std::string> scripts;
};

// The values passed to window.<fn> ("__progress", "__resolve") in `scripts`, in order.
inline std::vector<Value> pageCalls(const std::vector<std::string>& scripts, const std::string& fn) {
    const std::string head = "window." + fn + " && window." + fn + "(";
    std::vector<Value> out;
    for (const std::string& s : scripts)
        if (s.rfind(head, 0) == 0) out.push_back(Value::parse(s.substr(head.size(), s.size() - head.size() - 1)));
    return out;
}

// Answers every request at once, with `failure` when it is set.
class RecordingDesktop : public Desktop {
public:
    void open(const std::string& path, DesktopDone done) override {
        calls.push_back("open " + path);
        done(failure);
    }
    void reveal(const std::string& path, DesktopDone done) override {
        calls.push_back("reveal " + path);
        done(failure);
    }
    std::vector<std::string> calls;
    std::optional<std::string> failure;
};
