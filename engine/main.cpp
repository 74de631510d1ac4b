// untrunc: recovers an interrupted camera recording (RSV) into an MP4 with a
// healthy reference recording from the same camera.
//
// Output contract (engine_contract.h): progress as "<number>%" (carriage
// returns between updates), log lines beginning "Info:", one "Info: saving"
// line when the output is about to be written, one "Info: Duration of ..."
// line per track, and on failure a line beginning "Error:" and a non-zero
// exit status. An RSV still being copied comes with descriptor 5 saying how
// far the copy has got (engine_contract.h, kFollowFd).
#include "base/engine_contract.h"
#include "base/errors.h"
#include "repair.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace {

namespace contract = engine_contract;

const char kUsage[] =
    "usage: untrunc [-n] [-rsv-ben] [-v] -dst OUTPUT REFERENCE RSV\n"
    "       untrunc [-n] [-rsv-ben] [-v] -noref [-donor CLIP] -dst OUTPUT RSV\n"
    "\n"
    "Recovers an interrupted camera recording (RSV) into an MP4 file, using a\n"
    "finished recording (REFERENCE) made by the same camera with the same settings.\n"
    "An MXF-family RSV (a professional body's) takes a finished MXF as REFERENCE.\n"
    "\n"
    "  -dst OUTPUT   where to write the recovered MP4 (required); it must not\n"
    "                exist: the engine writes OUTPUT.partial beside it and gives\n"
    "                it the name only once the repair has succeeded\n"
    "  -n            never ask anything (the engine never does; accepted for\n"
    "                compatibility)\n"
    "  -rsv-ben      the input is a camera RSV file (the only mode; accepted)\n"
    "  -noref        no reference: learn everything from the RSV (parameter sets\n"
    "                in the stream, or rebuilt from the slices for H.264)\n"
    "  -donor CLIP   with -noref: a finished clip from the same camera (any\n"
    "                settings) that lends its scaling matrices\n"
    "  -v            more detail in the log\n"
    "  -h, --help    this text\n"
    "\n"
    "Output: progress as a percentage, lines beginning \"Info:\", and \"Error:\" with\n"
    "a non-zero exit status when nothing could be recovered.\n";

// A '%' in a log line (say, in a path) would read as progress and keep the
// line out of the application's log: show it as a fullwidth percent sign.
std::string withoutPercent(const std::string& line) {
    std::string out;
    for (char c : line) {
        if (c == '%') out += "\xEF\xBC\x85";
        else out += c;
    }
    return out;
}

class ConsoleReporter : public tv::Reporter {
public:
    void info(const std::string& line) override {
        endProgressLine();
        std::printf("%s%s\n", contract::kInfoLead, withoutPercent(line).c_str());
        std::fflush(stdout);
    }
    void progress(double percent) override {
        std::printf("\r%.1f%%", percent);
        std::fflush(stdout);
        pending_ = true;
    }
    void error(const std::string& message) {
        endProgressLine();
        std::fflush(stdout);
        std::fprintf(stderr, "%s%s\n", contract::kErrorLead, message.c_str());
        std::fflush(stderr);
        // The application keeps only "Info:" lines; repeat the reason there.
        std::printf("%srepair failed: %s\n", contract::kInfoLead, withoutPercent(message).c_str());
        std::fflush(stdout);
    }

private:
    void endProgressLine() {
        if (pending_) std::fputc('\n', stdout);
        pending_ = false;
    }
    bool pending_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    ConsoleReporter rep;
    tv::RepairOptions opt;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return contract::kExitSuccess;
        } else if (a == contract::kFlagNoQuestions || a == contract::kFlagRsv) {
            continue;
        } else if (a == contract::kFlagVerbose) {
            opt.verbose = true;
        } else if (a == contract::kFlagNoReference) {
            opt.noReference = true;
        } else if (a == contract::kFlagDonor) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                rep.error("-donor needs a path");
                return contract::kExitUsage;
            }
            opt.donor = argv[++i];
        } else if (a == contract::kFlagOutput) {
            if (i + 1 >= argc) {
                rep.error("-dst needs a path");
                return contract::kExitUsage;
            }
            opt.output = argv[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            rep.error("unknown option " + a + " (see --help)");
            return contract::kExitUsage;
        } else {
            positional.push_back(a);
        }
    }
    if (!opt.donor.empty() && !opt.noReference) {
        rep.error("-donor is used with -noref only (see --help)");
        return contract::kExitUsage;
    }
    if (positional.size() != (opt.noReference ? 1u : 2u)) {
        rep.error(opt.noReference ? "expected one RSV file with -noref (see --help)"
                                  : "expected a reference file and an RSV file (see --help)");
        return contract::kExitUsage;
    }
    opt.reference = opt.noReference ? std::string() : positional[0];
    opt.rsv = positional.back();
    // No output chosen for the caller: a guessed name next to the RSV would
    // write where nobody asked.
    if (opt.output.empty()) {
        rep.error("-dst needs a non-empty path (see --help)");
        return contract::kExitUsage;
    }

    try {
        auto summary = tv::runRepair(opt, rep);
        rep.info("recovered " + std::to_string(summary.frames) + " frames into " + opt.output);
        return contract::kExitSuccess;
    } catch (const tv::EngineError& e) {
        rep.error(e.what());
        return e.exitCode();
    } catch (const std::bad_alloc&) {
        rep.error("out of memory");
        return contract::kExitOutOfMemory;
    } catch (const std::exception& e) {
        rep.error(std::string("unexpected failure: ") + e.what());
        return contract::kExitUnexpected;
    }
}
