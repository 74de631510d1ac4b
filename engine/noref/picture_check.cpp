#include "noref/picture_check.h"

#include "noref/h264_probe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

namespace tv {
namespace {

using Lists = std::vector<std::vector<uint8_t>>;

// Share of neighbouring samples half the range apart above which pictures
// are not pictures. Right decodes measured 0 to 0.009 (a bright synthetic
// picture of hard edges the highest); residuals three times too large
// 0.018, four to six times 0.010 to 0.026 on ordinary pictures, sixteen
// times 0.033 to 0.18; dark pictures stay under it even so wrong (0.002).
constexpr double kNotAPicture = 0.015;
// Distance from mid-grey at half the residual against the decode's, above
// which the decode clipped: right decodes measured 0.49 to 0.52 (dark,
// night, sky, noisy, soft grey, synthetic; 8 and 10 bits; flat and custom
// matrices); residuals four to sixteen times too large 1.0 to 1.2 on dark
// pictures (twice: 0.998), 0.74 to 1.4 on ordinary ones.
constexpr double kClipped = 0.7;
// Below this distance from mid-grey (8-bit code values) a picture is too
// near grey everywhere for the ratio to say anything.
constexpr double kGreyEnough = 2;

// One coded list's values; std::nullopt where it selects the default list.
std::optional<std::vector<uint8_t>> codedValues(const std::vector<int32_t>& deltas, size_t size) {
    std::vector<uint8_t> v(size);
    int last = 8, next = 8;
    size_t k = 0;
    for (size_t j = 0; j < size; ++j) {
        if (next != 0) {
            next = k < deltas.size() ? (last + deltas[k++] + 256) % 256 : 0;
            if (j == 0 && next == 0) return std::nullopt;
        }
        v[j] = uint8_t(next == 0 ? last : next);
        last = v[j];
    }
    return v;
}

// One level's lists; an absent list falls back to the previous list of its
// kind, or (the first of a kind) to `below`'s (rule B) or the default (rule A).
Lists resolve(const ScalingLists& s, const Lists* below) {
    Lists out(8);
    for (size_t i = 0; i < 8; ++i) {
        const bool firstOfKind = i == 0 || i == 3 || i >= 6;
        const auto* coded = i < s.lists.size() && s.lists[i] ? &*s.lists[i] : nullptr;
        if (coded) {
            auto v = codedValues(*coded, i < 6 ? 16 : 64);
            out[i] = v ? *v : ScalingLists::defaultValues()[i];
        } else {
            out[i] = !firstOfKind ? out[i - 1] : (below ? (*below)[i] : ScalingLists::defaultValues()[i]);
        }
    }
    return out;
}

}  // namespace

Lists listsInForce(const H264Sps& sps, const H264Pps& pps) {
    Lists seq;
    if (sps.scaling.present()) seq = resolve(sps.scaling, nullptr);
    else for (size_t i = 0; i < 8; ++i) seq.emplace_back(i < 6 ? 16 : 64, uint8_t(16));
    if (!pps.scaling.present()) return seq;
    return resolve(pps.scaling, sps.scaling.present() ? &seq : nullptr);
}

H264Candidate withResidualScaled(const H264Candidate& c, double k) {
    H264Candidate out = c;
    const auto scale = [&](H264Pps& p) {
        Lists lists = listsInForce(c.sps, p);
        for (auto& list : lists)
            for (auto& v : list) v = uint8_t(std::clamp(std::lround(v * k), 1L, 255L));
        p.scaling = ScalingLists::fromValues(lists);
    };
    scale(out.pps);
    for (auto& [id, p] : out.lentPps) scale(p);
    return out;
}

PictureVerdict judgePictures(const H264Candidate& c, const std::vector<std::vector<uint8_t>>& samples) {
    PictureVerdict v;
    const ProbeResult r = probeH264(c.avcC(), samples, true);
    // Explicit weighted prediction adds offsets and weights no residual
    // scales (a fade): then only the key picture is mid-grey plus residuals.
    const bool weighted = c.pps.weightedPred || c.pps.bipredIdc == 1;
    const std::vector<std::vector<uint8_t>> key(samples.begin(), samples.begin() + (samples.empty() ? 0 : 1));
    const ProbeResult whole = weighted ? probeH264(c.avcC(), key, true) : r;
    const ProbeResult half = probeH264(withResidualScaled(c, 0.5).avcC(), weighted ? key : samples, true);
    v.decodes = weighted ? 3 : 2;
    v.cliffShare = r.measure.cliffShare();
    const double grey = whole.measure.greyDistance();
    v.halfResidual = grey >= kGreyEnough && half.clean ? half.measure.greyDistance() / grey : 0;
    char why[240];
    snprintf(why, sizeof why,
             "%.4f of neighbouring samples half the range apart (at most %.3f in a real picture); distance from "
             "mid-grey at half the residual %.2f of the decode's (at most %.2f: a residual too large clips)",
             v.cliffShare, kNotAPicture, v.halfResidual, kClipped);
    v.why = why;
    v.pictures = r.clean && v.cliffShare <= kNotAPicture && v.halfResidual <= kClipped;
    return v;
}

}  // namespace tv
