#include "app/options.h"

#include <cstdio>
#include <cstring>

std::optional<Options> parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (a == "--headless") {
            o.headless = true;
        } else if (a == "--volumes") {
            if (!value(o.volumes)) { std::fprintf(stderr, "--volumes needs a folder\n"); return std::nullopt; }
        } else if (a == "--resources") {
            if (!value(o.resources)) { std::fprintf(stderr, "--resources needs a folder\n"); return std::nullopt; }
        } else if (a == "--help" || a == "-h") {
            std::fprintf(stderr,
                         "usage: torvelin-recovery [--headless] [--volumes DIR] [--resources DIR]\n"
                         "  --headless       read request envelopes (JSON, one per line) from stdin and\n"
                         "                   print every script sent to the page, one per line\n"
                         "  --volumes DIR    look for cards under DIR instead of the removable-media folder\n"
                         "  --resources DIR  use DIR as the resources folder (page, licences, engine)\n");
            return std::nullopt;
        } else {
            std::fprintf(stderr, "unknown option: %s (see --help)\n", a.c_str());
            return std::nullopt;
        }
    }
    return o;
}
