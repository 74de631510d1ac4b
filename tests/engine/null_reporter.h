// A Reporter for engine tests: keeps the log lines, ignores progress.
#pragma once

#include "base/reporter.h"

#include <string>
#include <vector>

namespace tv::test {

class NullReporter : public Reporter {
public:
    void info(const std::string& line) override { lines.push_back(line); }
    void progress(double) override {}
    std::vector<std::string> lines;
};

}  // namespace tv::test
