// Command-line options of the application.
#pragma once

#include <optional>
#include <string>

struct Options {
    bool headless = false;        // --headless: requests on stdin, scripts on stdout
    std::string volumes;          // --volumes DIR: mount directory override
    std::string resources;        // --resources DIR: resources folder override
};

// What the command line asks for. With `run` the application starts with
// those options; without it the process prints `output` on standard output and
// `error` on standard error and ends at once with `exitStatus`: 0 after --help
// or --version, 2 after an option it does not understand or one missing its
// value (then `error` holds a short usage).
struct CommandLine {
    std::optional<Options> run;
    int exitStatus = 0;
    std::string output;
    std::string error;
};

// Pure: reads only its arguments and prints nothing.
CommandLine parseCommandLine(int argc, const char* const* argv);
