#include "noref/noref.h"

#include "base/engine_contract.h"
#include "base/errors.h"
#include "mp4/config_record.h"
#include "noref/hevc_search.h"
#include "noref/inband.h"
#include "noref/layout_from_rsv.h"
#include "codec/nal.h"
#include "noref/param_search.h"
#include "noref/search_clock.h"
#include "codec/param_sets.h"
#include "noref/synthetic_movie.h"

#include <algorithm>

namespace tv {
namespace {

using Kind = EngineError::Kind;

// The first picture's NAL units are read up to its first slice; a picture
// is never larger than this.
constexpr uint32_t kFirstPictureWindow = 64u << 20;

// A donor that cannot lend anything (not H.264, not a finished clip) is
// passed over with a note: it was only ever a help. One that cannot be read
// at all was refused before the repair started.
std::vector<std::vector<uint8_t>> donorParameterSets(const std::string& path, Reporter& rep) {
    if (path.empty()) return {};
    try {
        auto file = FileSource::open(path, int(Kind::Reference));
        Reference donor = parseReference(*file);
        const auto& v = donor.videoTrack();
        if (v.video.codec == VideoCodec::H264) return v.video.parameterSets;
        rep.info("the donor clip is not H.264 and cannot lend parameter sets; rebuilding without it");
    } catch (const EngineError& e) {
        rep.info(std::string("the donor clip cannot lend parameter sets (") + e.what() + "); rebuilding without it");
    }
    return {};
}

}  // namespace

Reference referenceFromRecording(const ByteSource& rsv, const std::string& donorPath, Reporter& rep) {
    const int64_t start = rsvDataStart(rsv);
    const auto [codec, firstAud] = firstPicture(rsv, start, nullptr);
    FrameInfo first;
    first.offset = firstAud;
    first.size = uint32_t(std::min<int64_t>(rsv.size() - firstAud, kFirstPictureWindow));
    auto inband = inbandParameterSets(rsv, codec, 4, {first});
    // H.265 slice addresses are read under the picture geometry: the key
    // picture's headers give candidates good enough to walk with.
    std::vector<H265Params> hevcCandidates;
    const auto announce = [&] {
        rep.info(std::string(engine_contract::kSearchWord) + " (at most " +
                 std::to_string(SearchClock::kTimeBound.count()) + " s)");
    };
    if (codec == VideoCodec::H265 && inband.empty()) {
        if (!donorPath.empty()) rep.info("a donor clip lends nothing to an H.265 search; searching without it");
        announce();
        hevcCandidates = hevcKeyCandidates(rsv, firstAud, rep);
    }
    const ParameterSets walkSets = ParameterSets::fromConfig(
        codec, hevcCandidates.empty() ? inband : h265Nals(hevcCandidates.front(), {}));
    RsvRecording rec = learnRecording(rsv, walkSets, rep);
    for (auto& nal : inbandParameterSets(rsv, codec, 4, rec.frames))
        if (std::find(inband.begin(), inband.end(), nal) == inband.end()) inband.push_back(std::move(nal));

    std::vector<std::vector<uint8_t>> sets = inband;
    if (!inband.empty()) {
        rep.info("the stream carries its own parameter sets; using them");
    } else {
        if (codec == VideoCodec::H264) announce();
        RebuiltParameterSets rebuilt =
            codec == VideoCodec::H265
                ? searchH265ParameterSets(rsv, rec, hevcCandidates, rep)
                : searchH264ParameterSets(rsv, rec, donorParameterSets(donorPath, rep), rep);
        rep.info(std::string(engine_contract::kMatricesLead).substr(sizeof engine_contract::kInfoLead - 1) +
                 rebuilt.matrices + " (" + rebuilt.why + ")");
        if (rebuilt.matrices == "flat" && rebuilt.why.rfind("no reference", 0) == 0)
            rep.info(std::string(engine_contract::kFlatScalingLine).substr(sizeof engine_contract::kInfoLead - 1));
        sets = std::move(rebuilt.nals);
    }
    SpsSummary picture;
    auto config = buildCodecConfig(codec, sets, &picture);
    if (!config)
        throw EngineError(Kind::ReferenceNeeded,
                          "the parameter sets in the stream do not parse; a reference clip from the "
                          "same camera is needed");
    return syntheticReference(rec, *config, picture);
}

}  // namespace tv
