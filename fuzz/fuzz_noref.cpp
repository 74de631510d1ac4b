// Fuzz target: the parsers of the repair without a reference. Byte 0 picks
// what the rest is:
//   0  an RSV: media data start, codec, in-band parameter sets, the layout
//      learnt from the groups, and the sample entry built from them (the
//      parameter-set search itself decodes and is left out: too slow here);
//   1  [sps length][pps length] SPS, PPS, then a slice: the sets read as a
//      donor's, written back and read again (the bytes written a second time
//      must be the first ones: the writer is the reader's inverse), and the
//      slice header parsed under them;
//   2  byte 1 picks H.264 or H.265, then NAL units with 16-bit lengths: the
//      SPS summary and the avcC/hvcC built from them;
//   3  an H.265 access unit (4-byte lengths): the slice headers surveyed
//      for the sets they fit, the first fit written and read back (its
//      picture size must survive).
// EngineError is the answer to bad input; anything else is a finding.
#include "base/byte_source.h"
#include "base/errors.h"
#include "mp4/config_record.h"
#include "codec/h265_sets.h"
#include "noref/hevc_survey.h"
#include "noref/inband.h"
#include "noref/layout_from_rsv.h"
#include "codec/param_sets.h"
#include "codec/slice_header.h"
#include "noref/synthetic_movie.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace {

class QuietReporter : public tv::Reporter {
public:
    void info(const std::string&) override {}
    void progress(double) override {}
};

void fromRsv(const uint8_t* data, size_t size) {
    tv::MemorySource src(data, size);
    QuietReporter rep;
    try {
        const int64_t start = tv::rsvDataStart(src);
        const auto [codec, aud] = tv::firstPicture(src, start, nullptr);
        tv::FrameInfo first;
        first.offset = aud;
        first.size = uint32_t(src.size() - aud);
        auto sets = tv::inbandParameterSets(src, codec, 4, {first});
        const tv::ParameterSets ps = tv::ParameterSets::fromConfig(codec, sets);
        tv::RsvRecording rec = tv::learnRecording(src, ps, rep);
        auto more = tv::inbandParameterSets(src, codec, 4, rec.frames);
        sets.insert(sets.end(), more.begin(), more.end());
        tv::SpsSummary picture;
        if (auto config = tv::buildCodecConfig(codec, sets, &picture))
            (void)tv::syntheticReference(rec, *config, picture);
    } catch (const tv::EngineError&) {
    }
}

void setsAndSlice(const uint8_t* data, size_t size) {
    if (size < 2) return;
    const size_t spsLen = data[0], ppsLen = data[1];
    if (size < 2 + spsLen + ppsLen) return;
    auto sps = tv::H264Sps::parse(data + 2, spsLen);
    if (!sps) return;
    std::map<uint32_t, tv::H264Sps> byId{{sps->id, *sps}};
    auto pps = tv::H264Pps::parse(data + 2 + spsLen, ppsLen, byId);
    if (!pps) return;
    const auto spsBytes = sps->write(), ppsBytes = pps->write(sps->chromaFormat);
    auto sps2 = tv::H264Sps::parse(spsBytes.data(), spsBytes.size());
    if (!sps2 || sps2->write() != spsBytes) __builtin_trap();
    byId = {{sps2->id, *sps2}};
    auto pps2 = tv::H264Pps::parse(ppsBytes.data(), ppsBytes.size(), byId);
    if (!pps2 || pps2->write(sps2->chromaFormat) != ppsBytes) __builtin_trap();
    const size_t at = 2 + spsLen + ppsLen;
    for (auto extent : {tv::H264SliceHeader::Extent::PictureOrder, tv::H264SliceHeader::Extent::Whole})
        (void)tv::H264SliceHeader::parse(data + at, size - at, *sps2, *pps2, extent);
}

void configs(const uint8_t* data, size_t size) {
    if (size < 1) return;
    const tv::VideoCodec codec = data[0] & 1 ? tv::VideoCodec::H265 : tv::VideoCodec::H264;
    std::vector<std::vector<uint8_t>> nals;
    for (size_t p = 1; p + 2 <= size && nals.size() < 16;) {
        size_t len = size_t(data[p]) << 8 | data[p + 1];
        p += 2;
        len = std::min(len, size - p);
        nals.emplace_back(data + p, data + p + len);
        p += len;
    }
    for (const auto& n : nals) (void)tv::summarizeSps(codec, n);
    (void)tv::buildCodecConfig(codec, nals);
}

void hevcKeyPicture(const uint8_t* data, size_t size) {
    auto pic = tv::hevcPictureOf(std::vector<uint8_t>(data, data + size));
    if (!pic || pic->slices.size() > 8) return;
    const auto found = tv::surveyKeyPicture(*pic, tv::H265Params{});
    if (found.empty()) return;
    const auto sps = found.front().sps();
    auto back = tv::H265Sps::parse(sps.data(), sps.size());
    if (!back || back->width != found.front().width || back->height != found.front().height) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    switch (data[0] % 4) {
    case 0: fromRsv(data + 1, size - 1); break;
    case 1: setsAndSlice(data + 1, size - 1); break;
    case 3: hevcKeyPicture(data + 1, size - 1); break;
    default: configs(data + 1, size - 1); break;
    }
    return 0;
}
