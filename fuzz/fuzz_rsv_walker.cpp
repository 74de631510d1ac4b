// Fuzz target: bytes as an RSV, walked against fixed, valid references laid
// out by run.sh from the corpus generator before fuzzing starts.
//
// Input: byte 0 chooses the reference (low 7 bits, modulo their number) and,
// with its high bit, a co64 threshold of 0 for the moov built afterwards; the
// remaining bytes are the RSV. References: TV_FUZZ_REFS names a folder holding
// ref-0.mp4, ref-1.mp4, ...; none there is a set-up error that stops the run.
#include "base/byte_source.h"
#include "base/errors.h"
#include "mp4/reference.h"
#include "walk_driver.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
std::vector<tv::Reference> g_refs;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* env = std::getenv("TV_FUZZ_REFS");
    const std::string dir = env ? env : "";
    for (int i = 0;; ++i) {
        const std::string path = dir + "/ref-" + std::to_string(i) + ".mp4";
        if (::access(path.c_str(), R_OK) != 0) break;
        try {
            g_refs.push_back(tv::parseReference(*tv::FileSource::open(path, int(tv::EngineError::Kind::Reference))));
        } catch (const tv::EngineError& e) {
            std::fprintf(stderr, "fuzz_rsv_walker: reference %s rejected: %s\n", path.c_str(), e.what());
            std::exit(2);
        }
    }
    if (g_refs.empty()) {
        std::fprintf(stderr, "fuzz_rsv_walker: no references in '%s' (set TV_FUZZ_REFS; run fuzz/run.sh)\n", dir.c_str());
        std::exit(2);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    tvfuzz::WalkLimits lim;
    if (data[0] & 0x80) lim.co64Threshold = 0;
    tvfuzz::walkAndBuild(g_refs[size_t(data[0] & 0x7f) % g_refs.size()], tv::MemorySource(data + 1, size - 1), lim);
    return 0;
}
