// The command line: what starts the application, what ends it at once and with
// which status and text.
#include <gtest/gtest.h>

#include <vector>

#include "app/options.h"

namespace {

CommandLine parse(std::vector<const char*> args) {
    args.insert(args.begin(), "torvelin-recovery");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, EndsAtOnceWithStatusAndText) {
    struct Row {
        std::vector<const char*> args;
        int status;
        const char* outputHas;  // "" when nothing may go to standard output
        const char* errorHas;   // "" when nothing may go to standard error
    };
    const std::vector<Row> rows = {
        {{"--version"}, 0, "torvelin-recovery 0.", ""},
        {{"--help"}, 0, "--resources DIR", ""},
        {{"-h"}, 0, "옵션 / Options:", ""},
        {{"--headless", "--help"}, 0, "Usage: torvelin-recovery", ""},
        // Mistakes: a short usage on standard error, status 2, and nothing started.
        {{"--bogus"}, 2, "", "unknown option: --bogus"},
        {{"--headless", "-x"}, 2, "", "알 수 없는 옵션"},
        {{"--volumes"}, 2, "", "option needs a folder: --volumes"},
        {{"--headless", "--resources"}, 2, "", "option needs a folder: --resources"},
        {{"--version", "--bogus"}, 0, "torvelin-recovery", ""},
    };
    for (const Row& r : rows) {
        const std::string what = r.args.front();
        CommandLine c = parse(r.args);
        EXPECT_FALSE(c.run) << what;
        EXPECT_EQ(c.exitStatus, r.status) << what;
        if (*r.outputHas) EXPECT_NE(c.output.find(r.outputHas), std::string::npos) << what;
        else EXPECT_EQ(c.output, "") << what;
        if (*r.errorHas) {
            EXPECT_NE(c.error.find(r.errorHas), std::string::npos) << what << ": " << c.error;
            // Short: the usage line and a pointer to --help, not the whole help.
            EXPECT_NE(c.error.find("Usage: torvelin-recovery [--headless]"), std::string::npos) << what;
            EXPECT_EQ(c.error.find("--headless       "), std::string::npos) << what;
        } else {
            EXPECT_EQ(c.error, "") << what;
        }
    }
}

}  // namespace
