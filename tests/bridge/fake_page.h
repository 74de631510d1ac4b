// Test doubles for what the bridge talks to: a page that records every script,
// and a desktop that records what it was asked to open or reveal.
#pragma once

#include <string>
#include <vector>

#include "bridge/desktop.h"
#include "bridge/script_sink.h"

class RecordingPage : public ScriptSink {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    std::vector<std::string> scripts;
};

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
