// Fuzz target: bytes as an MXF-family file (an RSV or an MXF reference). The
// header metadata reader must answer every input with settings or nothing;
// the walk then runs over the same bytes with those settings (or, when none
// parse, with a fixed two-track layout so the walk is fuzzed regardless), and
// every kept picture goes through the byte-stream scan, the avcC and the moov
// as a repair would use them.
#include "base/byte_source.h"
#include "mxf/mxf_klv.h"
#include "mxf/mxf_mp4.h"
#include "mxf/mxf_walk.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

class QuietReporter : public tv::Reporter {
public:
    void info(const std::string&) override {}
    void progress(double) override {}
};

tv::MxfSettings fallbackSettings() {
    tv::MxfSettings s;
    s.editRate = {25, 1};
    s.pictureTrack = 0x15010500;
    for (uint32_t n : {0x16020300u, 0x16020301u}) s.sounds.push_back({n, 48000, 1, 24, 3});
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tv::MemorySource src(data, size);
    auto parsed = tv::readMxfSettings(src);
    if (parsed) (void)parsed->describe();
    const tv::MxfSettings settings = parsed ? *parsed : fallbackSettings();
    if (settings.sounds.size() > 64) return 0;  // the tables below are sized per track

    QuietReporter rep;
    tv::MxfWalk walk = tv::walkMxf(src, settings, rep);
    const size_t per = walk.elementsPerPackage;
    if (walk.offsets.size() % per != 0 || walk.offsets.size() != walk.lengths.size()) std::abort();

    tv::MxfTables tables;
    tables.elementsPerPackage = per;
    tv::AnnexBPicture first;
    for (size_t p = 0; p < walk.packages(); ++p) {
        const int64_t at = walk.offsets[p * per];
        const uint32_t len = walk.lengths[p * per];
        for (size_t i = 0; i < per; ++i)
            if (!walk.lost(p, i) && walk.offsets[p * per + i] + walk.lengths[p * per + i] > int64_t(size))
                std::abort();  // a kept element outside the file
        std::vector<uint8_t> sample;
        tv::AnnexBPicture info;
        if (at >= 0) tv::annexBToLengthPrefixed(data + at, len, sample, &info);
        if (first.sps.empty() && !info.sps.empty() && !info.pps.empty()) first = info;
        for (size_t i = 0; i < per; ++i) {
            tables.offsets.push_back(walk.offsets[p * per + i]);
            tables.sizes.push_back(i == 0 ? uint32_t(sample.size()) : walk.lengths[p * per + i]);
        }
        tables.sync.push_back(info.idr);
    }
    if (auto avc = tv::makeAvcConfig(first.sps, first.pps)) {
        tables.timecodeSampleOffset = 0;
        (void)tv::buildMxfMoov(settings, *avc, tables);
    }
    return 0;
}
