// The repair of the engine, minus the files: walks an RSV held in a
// ByteSource against a parsed reference with the engine's own walk (which
// resynchronises past groups that do not check out), then lays out the moov
// of what it kept and reads that moov back, as a repair does.
//
// Contract: EngineError is the engine's answer to bad input and ends the walk
// quietly; anything else (another exception, a sanitizer report) is a fault
// and reaches libFuzzer as a crash; a walk that stops making progress shows
// as a libFuzzer timeout.
#pragma once

#include "rsv/assembly.h"
#include "base/errors.h"
#include "codec/param_sets.h"
#include "mp4/reference.h"
#include "rsv/resync_walk.h"
#include "rsv/rsv_start.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tvfuzz {

// Thrown by the Harness once enough groups were accepted; ends the walk early.
struct EnoughGroups {};

// The walk's sink (groups go into the assembly, up to a limit) and reporter
// (log lines are built, so their formatting runs, and dropped).
class Harness final : public tv::GroupSink, public tv::Reporter {
public:
    Harness(tv::Assembly& assembly, int maxGroups) : assembly_(assembly), max_(maxGroups) {}
    void add(const tv::GroupResult& group) override {
        assembly_.add(group);
        if (assembly_.groups() >= size_t(max_)) throw EnoughGroups{};
    }
    void markGap(int64_t lost) override { assembly_.markGap(lost); }
    void markLead(int64_t lost) override { assembly_.markLead(lost); }
    tv::WalkClock clock() const override { return assembly_.clock(); }
    size_t groups() const override { return assembly_.groups(); }
    void info(const std::string& line) override { chars += line.size(); }
    void progress(double) override {}
    size_t chars = 0;

private:
    tv::Assembly& assembly_;
    int max_;
};

struct WalkLimits {
    int maxGroups = 1 << 30;       // stop after this many accepted groups
    uint64_t co64Threshold = UINT32_MAX;
};

inline void walkAndBuild(const tv::Reference& ref, const tv::ByteSource& rsv, const WalkLimits& lim) {
    const tv::StreamLayout layout = tv::StreamLayout::from(ref);
    const auto& video = ref.videoTrack();
    const tv::ParameterSets ps = tv::ParameterSets::fromConfig(video.video.codec, video.video.parameterSets);
    tv::GroupWalker walker(rsv, layout, ps);
    tv::Assembly assembly(ref, layout, ps);
    Harness h(assembly, lim.maxGroups);

    int64_t dataStart = 0;
    try {
        dataStart = tv::locateMediaData(rsv, walker, assembly.clock(), h);
    } catch (const tv::EngineError&) {
        return;
    }
    if (dataStart < 0 || dataStart > rsv.size()) {
        std::fprintf(stderr, "media data at %lld, outside the file\n", (long long)dataStart);
        std::abort();
    }

    // The engine's own walk, with its resynchronisation, bounded in groups.
    try {
        tv::walkResynchronising(rsv, walker, h, dataStart, h, /*verbose=*/false);
    } catch (const tv::EngineError&) {
        return;
    } catch (const EnoughGroups&) {
    }
    if (assembly.videoFrames() == 0) return;
    h.info(assembly.finish());

    const std::vector<uint8_t> moov = assembly.buildMoov(dataStart, /*payloadBase=*/64, lim.co64Threshold);
    for (const auto& t : assembly.tracks()) (void)assembly.seconds(t);

    // What the engine writes, it must be able to read back as a reference.
    tv::MemorySource moovSource(moov);
    tv::Reference back;
    try {
        if (moov.size() >= 8) tv::parseMovie(moovSource, 8, int64_t(moov.size()), back);
    } catch (const tv::EngineError&) {
    }
}

}  // namespace tvfuzz
