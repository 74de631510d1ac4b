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

}  // namespace tv
