#include "codec/h265_writer.h"

#include "codec/rbsp_writer.h"

namespace tv {
namespace {

// profile_tier_level(1, 0) (7.3.3): general fields only.
void profileTierLevel(RbspWriter& w, const H265Params& p) {
    const uint32_t profile = p.profile();
    w.u(0, 2);  // profile space
    w.flag(false);  // main tier
    w.u(profile, 5);
    for (uint32_t j = 0; j < 32; ++j) w.flag(j == profile || (profile == 1 && j == 2));
    w.flag(true);   // progressive source
    w.flag(false);  // interlaced source
    w.flag(false);  // non-packed constraint
    w.flag(true);   // frame only constraint
    if (profile == 4) {
        // Main 4:2:2 10: max 12/10 bit, not 8 bit, max 4:2:2, not 4:2:0 or
        // monochrome, not intra or one picture, lower bit rate.
        const bool bits10 = p.bitDepth <= 10;
        for (bool b : {true, bits10, false, true, false, false, false, false, true}) w.flag(b);
        w.u(0, 32);
        w.u(0, 2);
    } else {
        w.u(0, 32);
        w.u(0, 11);
    }
    w.flag(false);  // general_inbld_flag / reserved
    const uint64_t samples = uint64_t(p.width) * p.height;
    w.u(samples <= 983040 ? 93 : samples <= 2228224 ? 123 : 153, 8);  // level 3.1, 4.1, 5.1
}

std::vector<uint8_t> header(uint32_t type) { return {uint8_t(type << 1), 1}; }

}  // namespace

uint32_t H265Params::picSizeInCtbs() const {
    const uint32_t ctb = 1u << log2Ctb;
    return ((codedWidth() + ctb - 1) / ctb) * ((codedHeight() + ctb - 1) / ctb);
}

bool H265Params::valid() const {
    return width > 0 && height > 0 && width <= 16384 && height <= 16384 && (chromaFormat == 1 || chromaFormat == 2) &&
           bitDepth >= 8 && bitDepth <= 12 && log2MaxPocLsb >= 4 && log2MaxPocLsb <= 16 && log2MinCb >= 3 &&
           log2Ctb >= log2MinCb && log2Ctb >= 4 && log2Ctb <= 6 && log2MinTb >= 2 && log2MinTb < log2MinCb &&
           log2MaxTb >= log2MinTb && log2MaxTb <= 5 && log2MaxTb <= log2Ctb && depthInter <= log2Ctb - log2MinTb &&
           depthIntra <= log2Ctb - log2MinTb && ppsId <= 63 && extraSliceHeaderBits <= 7 && numRefL0 >= 1 &&
           numRefL0 <= 15 && numRefL1 >= 1 && numRefL1 <= 15 && initQp >= -6 * int32_t(bitDepth - 8) &&
           initQp <= 51 && cuQpDeltaDepth <= log2Ctb - log2MinCb && log2ParallelMerge >= 2 &&
           log2ParallelMerge <= log2Ctb && maxDecPicBuffering >= 1 && maxDecPicBuffering <= 16 &&
           numReorder < maxDecPicBuffering;
}

std::vector<uint8_t> H265Params::vps() const {
    RbspWriter w;
    w.u(0, 4);       // vps id
    w.flag(true);    // base layer internal
    w.flag(true);    // base layer available
    w.u(0, 6);       // one layer
    w.u(0, 3);       // one sub-layer
    w.flag(true);    // temporal id nesting
    w.u(0xffff, 16);
    profileTierLevel(w, *this);
    w.flag(true);    // sub-layer ordering info
    w.ue(maxDecPicBuffering - 1);
    w.ue(numReorder);
    w.ue(0);         // max latency increase
    w.u(0, 6);       // max layer id
    w.ue(0);         // one layer set
    w.flag(false);   // timing
    w.flag(false);   // extension
    return w.nal(header(32));
}

std::vector<uint8_t> H265Params::sps() const {
    RbspWriter w;
    w.u(0, 4);
    w.u(0, 3);
    w.flag(true);
    profileTierLevel(w, *this);
    w.ue(0);  // sps id
    w.ue(chromaFormat);
    w.ue(codedWidth());
    w.ue(codedHeight());
    const bool crop = codedWidth() != width || codedHeight() != height;
    w.flag(crop);
    if (crop) {
        // Offsets in chroma sample units (SubWidthC 2, SubHeightC 2 for 4:2:0, 1 for 4:2:2).
        const uint32_t subH = chromaFormat == 1 ? 2 : 1;
        w.ue(0);
        w.ue((codedWidth() - width) / 2);
        w.ue(0);
        w.ue((codedHeight() - height) / subH);
    }
    w.ue(bitDepth - 8);
    w.ue(bitDepth - 8);
    w.ue(log2MaxPocLsb - 4);
    w.flag(true);
    w.ue(maxDecPicBuffering - 1);
    w.ue(numReorder);
    w.ue(0);
    w.ue(log2MinCb - 3);
    w.ue(log2Ctb - log2MinCb);
    w.ue(log2MinTb - 2);
    w.ue(log2MaxTb - log2MinTb);
    w.ue(depthInter);
    w.ue(depthIntra);
    w.flag(scalingLists);
    if (scalingLists) w.flag(false);  // the default lists
    w.flag(amp);
    w.flag(sao);
    w.flag(false);  // PCM
    w.ue(0);        // reference picture sets: all in the slice headers
    w.flag(false);  // long-term references
    w.flag(temporalMvp);
    w.flag(strongIntra);
    const bool timing = timeScale && unitsInTick;
    w.flag(timing);  // VUI
    if (timing) {
        for (int i = 0; i < 8; ++i) w.flag(false);  // aspect .. default display window
        w.flag(true);
        w.u(unitsInTick, 32);
        w.u(timeScale, 32);
        w.flag(false);  // POC proportional to timing
        w.flag(false);  // HRD
        w.flag(false);  // bitstream restriction
    }
    w.flag(false);  // extensions
    return w.nal(header(33));
}

std::vector<uint8_t> H265Params::pps() const {
    RbspWriter w;
    w.ue(ppsId);
    w.ue(0);
    w.flag(dependentSlices);
    w.flag(outputFlagPresent);
    w.u(extraSliceHeaderBits, 3);
    w.flag(signHiding);
    w.flag(cabacInitPresent);
    w.ue(numRefL0 - 1);
    w.ue(numRefL1 - 1);
    w.se(initQp - 26);
    w.flag(constrainedIntra);
    w.flag(transformSkip);
    w.flag(cuQpDelta);
    if (cuQpDelta) w.ue(cuQpDeltaDepth);
    w.se(cbQpOffset);
    w.se(crQpOffset);
    w.flag(sliceChromaQpOffsets);
    w.flag(weightedPred);
    w.flag(weightedBipred);
    w.flag(false);  // transquant bypass
    w.flag(false);  // tiles
    w.flag(entropySync);
    w.flag(loopFilterAcrossSlices);
    const bool control = deblockingOverride || deblockingDisabled;
    w.flag(control);
    if (control) {
        w.flag(deblockingOverride);
        w.flag(deblockingDisabled);
        if (!deblockingDisabled) {
            w.se(0);
            w.se(0);
        }
    }
    w.flag(false);  // PPS scaling lists
    w.flag(listsModification);
    w.ue(log2ParallelMerge - 2);
    w.flag(sliceHeaderExtension);
    w.flag(false);  // extensions
    return w.nal(header(34));
}

}  // namespace tv
