// Where a repair run sends its progress and log lines; the command-line front
// end prints them (engine_contract.h), tests record them.
//
// Thread: called on the thread that runs the repair.
#pragma once

#include <string>

namespace tv {

class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void info(const std::string& line) = 0;       // without "Info: "
    virtual void progress(double percent) = 0;            // 0..100 within a phase
};

// Passes a step's 0..100 on as [low, high] of the phase it shares with
// another step, so the phase's figure never runs backwards.
class BandReporter : public Reporter {
public:
    BandReporter(Reporter& to, double low, double high) : to_(to), low_(low), high_(high) {}
    void info(const std::string& line) override { to_.info(line); }
    void progress(double percent) override { to_.progress(low_ + (high_ - low_) * percent / 100.0); }

private:
    Reporter& to_;
    double low_, high_;
};

}  // namespace tv
