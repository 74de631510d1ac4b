// H.265 parameter sets written from their fields (7.3.2.1 to 7.3.2.3): one
// VPS, one SPS and a PPS per id, as a body that does not repeat them in its
// stream would have written them. Only what camera streams use is
// expressible: one layer, one sub-layer, no tiles, no PCM, no long-term
// references, scaling lists off or the default ones, no range extension
// tools (4:2:2 is signalled by the profile alone).
//
// Thread: any. Errors: none; the fields must be in their ranges
// (H265Params::valid() says whether they are).
#pragma once

#include <cstdint>
#include <vector>

namespace tv {

struct H265Params {
    // Sequence.
    uint32_t width = 1920, height = 1080;  // shown; the coded size rounds up to the minimum coding block
    uint32_t chromaFormat = 1, bitDepth = 10;
    uint32_t log2MaxPocLsb = 8;
    uint32_t log2MinCb = 3, log2Ctb = 6, log2MinTb = 2, log2MaxTb = 5;
    uint32_t depthInter = 0, depthIntra = 0;
    bool scalingLists = false, amp = false, sao = true, temporalMvp = true, strongIntra = true;
    uint32_t maxDecPicBuffering = 4, numReorder = 1;
    uint32_t timeScale = 0, unitsInTick = 0;  // 0: no timing in the VUI
    // Picture.
    uint32_t ppsId = 0;
    bool dependentSlices = false, outputFlagPresent = false, signHiding = true, cabacInitPresent = false;
    uint32_t extraSliceHeaderBits = 0, numRefL0 = 1, numRefL1 = 1;
    int32_t initQp = 26, cbQpOffset = 0, crQpOffset = 0;
    bool constrainedIntra = false, transformSkip = false, cuQpDelta = true;
    uint32_t cuQpDeltaDepth = 0;
    bool sliceChromaQpOffsets = false, weightedPred = false, weightedBipred = false;
    bool entropySync = false, loopFilterAcrossSlices = true;
    bool deblockingOverride = false, deblockingDisabled = false;
    bool listsModification = false, sliceHeaderExtension = false;
    uint32_t log2ParallelMerge = 2;

    uint32_t codedWidth() const { return roundUp(width); }
    uint32_t codedHeight() const { return roundUp(height); }
    uint32_t picSizeInCtbs() const;
    uint32_t profile() const { return chromaFormat == 1 ? (bitDepth == 8 ? 1 : 2) : 4; }
    bool valid() const;

    std::vector<uint8_t> vps() const;
    std::vector<uint8_t> sps() const;
    std::vector<uint8_t> pps() const;  // under ppsId

private:
    uint32_t roundUp(uint32_t v) const { return (v + (1u << log2MinCb) - 1) >> log2MinCb << log2MinCb; }
};

}  // namespace tv
