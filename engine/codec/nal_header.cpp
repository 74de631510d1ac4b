#include "codec/nal_header.h"

namespace tv {

int nalHeaderSize(VideoCodec codec) { return codec == VideoCodec::H264 ? 1 : 2; }

std::optional<NalHeader> parseNalHeader(VideoCodec codec, const uint8_t* p, size_t n) {
    NalHeader h;
    if (codec == VideoCodec::H264) {
        if (n < 1 || (p[0] & 0x80)) return std::nullopt;
        h.type = p[0] & 0x1f;
        h.refIdc = (p[0] >> 5) & 3;
        // A camera stream carries slices, SEI, parameter sets, delimiters and
        // filler only; the reserved and extension types are treated as noise.
        if (h.type < 1 || h.type > 12) return std::nullopt;
        if (h.type == 5 && h.refIdc == 0) return std::nullopt;
        if ((h.type == 6 || h.type >= 9) && h.refIdc != 0) return std::nullopt;
        return h;
    }
    if (n < 2 || (p[0] & 0x80)) return std::nullopt;
    h.type = (p[0] >> 1) & 0x3f;
    h.layerId = ((p[0] & 1) << 5) | (p[1] >> 3);
    int tidPlus1 = p[1] & 7;
    if (tidPlus1 == 0 || h.layerId != 0) return std::nullopt;
    h.tid = tidPlus1 - 1;
    bool plausible = h.type <= 9 || (h.type >= 16 && h.type <= 21) || (h.type >= 32 && h.type <= 40);
    if (!plausible) return std::nullopt;
    if (h.type >= 16 && h.type <= 21 && h.tid != 0) return std::nullopt;
    if ((h.type == 32 || h.type == 36 || h.type == 37) && h.tid != 0) return std::nullopt;
    return h;
}

bool isAud(VideoCodec codec, int type) {
    return codec == VideoCodec::H264 ? type == 9 : type == 35;
}

bool isSlice(VideoCodec codec, int type) {
    return codec == VideoCodec::H264 ? (type >= 1 && type <= 5)
                                     : (type <= 9 || (type >= 16 && type <= 21));
}

bool isRandomAccess(VideoCodec codec, int type) {
    return codec == VideoCodec::H264 ? type == 5 : (type >= 16 && type <= 23);
}

bool h264SpsHasChromaInfo(uint32_t profileIdc) {
    switch (profileIdc) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128:
    case 138: case 139: case 134: case 135:
        return true;
    default:
        return false;
    }
}

bool isParameterSet(VideoCodec codec, int type) {
    return codec == VideoCodec::H264 ? (type == 7 || type == 8) : (type >= 32 && type <= 34);
}

}  // namespace tv
