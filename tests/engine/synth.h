// Builders for synthetic test streams: bit-level writers for parameter sets
// and slice headers, and RSV groups (rtmd run, H.264 access units, audio)
// laid out in memory.
#pragma once

#include "base/bytes.h"
#include "codec/rbsp_writer.h"
#include "rsv/one_group.h"

#include <cstdint>
#include <vector>

namespace tv::test {

// Big-endian 32-bit words, as box headers and tables are written.
inline std::vector<uint8_t> words(std::initializer_list<uint32_t> w) {
    std::vector<uint8_t> v;
    for (uint32_t x : w) putBe32(v, x);
    return v;
}

// An H.264 stream at 23.976p with small rtmd samples and one stereo twos track.
inline StreamLayout layout2398() {
    StreamLayout l;
    l.codec = VideoCodec::H264;
    l.nalLengthSize = 4;
    l.rtmdSize = 64;
    l.maxNalSize = 4096;
    l.videoTimescale = 24000;
    l.frameDuration = 1001;
    l.audio.push_back({4, 48000});
    return l;
}

using BitWriter = RbspWriter;

// Baseline-like H.264 SPS (id 0) with POC type 0 or 2, and PPS 0.
inline std::vector<uint8_t> h264Sps(uint32_t pocType, uint32_t log2MaxPocLsb = 4) {
    BitWriter w;
    w.u(66 << 16 | 30, 24);   // profile, constraints, level
    w.ue(0);                  // sps id
    w.ue(0);                  // log2_max_frame_num - 4
    w.ue(pocType);
    if (pocType == 0) w.ue(log2MaxPocLsb - 4);
    w.ue(1);                  // max refs
    w.u(0, 1);
    w.ue(19);                 // width in MBs - 1
    w.ue(10);                 // height in map units - 1
    w.u(0b1000, 4);           // frame_mbs_only, no 8x8 inference, cropping or VUI
    return w.nal({0x67});
}
inline std::vector<uint8_t> h264Pps() {
    BitWriter w;
    w.ue(0);
    w.ue(0);
    w.u(0, 2);                // CAVLC, no bottom-field POC
    w.ue(0);                  // no slice groups
    w.ue(0);
    w.ue(0);                  // one reference in each list
    w.u(0, 3);                // no weighted prediction
    w.se(0);
    w.se(0);
    w.se(0);                  // initial QPs 26, no chroma offset
    w.u(0b100, 3);            // deblocking control
    return w.nal({0x68});
}
// A slice NAL: idr (type 5) or not, reference or not, with POC lsb (type 0)
// or frame_num (type 2), first_mb = address.
inline std::vector<uint8_t> h264Slice(bool idr, bool ref, uint32_t address, uint32_t frameNum,
                                      uint32_t pocLsb, int log2MaxPocLsb = 4, bool pocType0 = true,
                                      size_t padding = 12) {
    BitWriter w;
    w.ue(address);
    w.ue(idr ? 7 : 5);  // slice_type
    w.ue(0);            // pps id
    w.u(frameNum, 4);
    if (idr) w.ue(0);
    if (pocType0) w.u(pocLsb, log2MaxPocLsb);
    for (size_t i = 0; i < padding; ++i) w.u(0xA5, 8);
    uint8_t header = uint8_t((ref ? 0x60 : 0x00) | (idr ? 5 : 1));
    return w.nal({header});
}

inline void appendLengthPrefixed(std::vector<uint8_t>& out, const std::vector<uint8_t>& nal) {
    putBe32(out, uint32_t(nal.size()));
    out.insert(out.end(), nal.begin(), nal.end());
}

inline std::vector<uint8_t> rtmdSample(size_t size) {
    std::vector<uint8_t> s(size, 0);
    const uint8_t head[12] = {0x00, 0x1C, 0x01, 0x00, 0, 0, 0, 0, 0xF0, 0x01, 0x00, 0x10};
    std::copy(head, head + 12, s.begin());
    return s;
}

struct SynthGroup {
    int64_t start = 0, videoStart = 0, audioStart = 0, end = 0;
    std::vector<int64_t> frameStarts;
};

// One group: frames rtmd samples, frames access units (AUD, SEI, slices),
// then audio bytes (a ramp, so it is not mistaken for zero padding).
// pocLsb, when given, sets each picture's POC lsb (default 2 x frame number).
inline SynthGroup appendGroup(std::vector<uint8_t>& out, int frames, int slices, size_t rtmdSize,
                              size_t audioBytes, int firstFrame = 0,
                              const std::vector<uint32_t>& pocLsb = {}, bool keyFirst = false) {
    SynthGroup g;
    g.start = int64_t(out.size());
    for (int i = 0; i < frames; ++i) {
        auto s = rtmdSample(rtmdSize);
        out.insert(out.end(), s.begin(), s.end());
    }
    g.videoStart = int64_t(out.size());
    for (int i = 0; i < frames; ++i) {
        g.frameStarts.push_back(int64_t(out.size()));
        appendLengthPrefixed(out, {0x09, 0xF0});
        appendLengthPrefixed(out, {0x06, 0x05, 0x01, 0x00, 0x80});
        int n = firstFrame + i;
        for (int s = 0; s < slices; ++s)
            appendLengthPrefixed(out, h264Slice(i == 0 && (n == 0 || keyFirst), true, uint32_t(s * 50),
                                                uint32_t(n & 15),
                                                size_t(i) < pocLsb.size() ? pocLsb[size_t(i)]
                                                                          : uint32_t((2 * n) & 15)));
    }
    g.audioStart = int64_t(out.size());
    for (size_t i = 0; i < audioBytes; ++i) out.push_back(uint8_t(i * 7 + 1));
    g.end = int64_t(out.size());
    return g;
}

struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<SynthGroup> groups;
};

// Groups of the given frame counts at 23.976p (layout2398), `slices` per
// picture, audio sized by the layout's arithmetic; pocLsb as appendGroup's, per group;
// gops: every group begins with an IDR picture (otherwise only the first: one
// GOP over the whole stream).
inline Stream stream(const std::vector<int>& frames, int slices = 2,
                     const std::vector<std::vector<uint32_t>>& pocLsb = {}, bool gops = false) {
    Stream s;
    const StreamLayout l = layout2398();
    int64_t before = 0, placed = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const int64_t audio = l.audioFramesFor(0, before, frames[i], placed);
        s.groups.push_back(appendGroup(s.bytes, frames[i], slices, l.rtmdSize, size_t(audio * 4), int(before),
                                       i < pocLsb.size() ? pocLsb[i] : std::vector<uint32_t>{}, gops));
        before += frames[i];
        placed += audio;
    }
    return s;
}

}  // namespace tv::test
