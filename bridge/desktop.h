// Opening and revealing files with the desktop's own programs.
// The bridge's "open" request goes through this; the platform layer (app/)
// supplies the implementation, tests supply a recorder.
#pragma once

#include <string>

class Desktop {
public:
    virtual ~Desktop() = default;
    // Main thread. Both return at once; whether the desktop manages is not reported.
    virtual void open(const std::string& path) = 0;
    virtual void reveal(const std::string& path) = 0;
};
