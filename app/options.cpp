#include "app/options.h"

#include "build_info.h"

namespace {

// The first line of the help text is the usage line; a mistake gets only it.
std::string usageError(const std::string& problem) {
    const std::string help = kHelpText;
    return "torvelin-recovery: " + problem + "\n" + help.substr(0, help.find('\n') + 1) +
           "자세한 내용 / More: torvelin-recovery --help\n";
}

CommandLine refuse(const std::string& problem) {
    CommandLine c;
    c.exitStatus = 2;
    c.error = usageError(problem);
    return c;
}

CommandLine finish(std::string output) {
    CommandLine c;
    c.output = std::move(output);
    return c;
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
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
        } else if (a == "--volumes" || a == "--resources") {
            if (!value(a == "--volumes" ? o.volumes : o.resources)) {
                return refuse("옵션에 폴더가 빠졌습니다 / option needs a folder: " + a);
            }
        } else if (a == "--help" || a == "-h") {
            return finish(kHelpText);
        } else if (a == "--version") {
            return finish(std::string("torvelin-recovery ") + kVersion + "\n");
        } else {
            return refuse("알 수 없는 옵션입니다 / unknown option: " + a);
        }
    }
    CommandLine c;
    c.run = o;
    return c;
}
