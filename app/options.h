// Command-line options of the application.
#pragma once

#include <optional>
#include <string>

struct Options {
    bool headless = false;        // --headless: requests on stdin, scripts on stdout
    std::string volumes;          // --volumes DIR: mount directory override
    std::string resources;        // --resources DIR: resources folder override
};

// Absent (with a message on stderr) when the arguments are not understood.
std::optional<Options> parseOptions(int argc, char** argv);
