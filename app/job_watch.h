// Follows the recoveries of this run for the window: its title carries the
// progress ("37 % · C0002.RSV — TORVELIN RECOVERY") and each job that ends
// gives one notice for the desktop. Pure; main thread (it is fed the states
// the bridge pushes to the page).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/value.h"

inline constexpr char kAppTitle[] = "TORVELIN RECOVERY";

struct JobNotice {
    std::string title;
    std::string body;
};

class JobWatch {
public:
    // A job admitted for the RSV file `rsvName`.
    void admitted(const std::string& id, const std::string& rsvName);
    // A Job state as pushed to the page; the notice when it is the first
    // state of that job in "done", "error" or "cancelled".
    std::optional<JobNotice> update(const Value& state);
    // The running job admitted first, with how many others run beside it.
    std::string title() const;

private:
    struct Entry {
        std::string id, name, stage;
        int pct = 0;
    };
    std::vector<Entry> jobs_;  // in admission order
};
