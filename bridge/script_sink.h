// What the bridge needs of a web view: evaluate one script text, ignoring its
// result. The GTK web view and the headless front end both implement it, and
// so do test doubles.
#pragma once

#include <string>

class ScriptSink {
public:
    virtual ~ScriptSink() = default;
    // Main thread only. Errors in the script are not reported.
    virtual void evaluateScript(const std::string& script) = 0;
};
