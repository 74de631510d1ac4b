#include "scan/clip_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/byte_source.h"
#include "base/bytes.h"
#include "base/unique_fd.h"
#include "codec/nal_header.h"
#include "mp4/config_record.h"
#include "rsv/rsv_start.h"

namespace {

// Reads beyond this offset end the source: the first group of any camera
// lies well inside it, and a scan of many cards stays quick.
constexpr int64_t kReadLimit = 8LL << 20;
constexpr int kMaxRtmdRun = 512;

// A regular file read with pread, clipped to kReadLimit. Read errors end it.
class BoundedFile final : public tv::ByteSource {
public:
    BoundedFile(tv::UniqueFd fd, int64_t size) : fd_(std::move(fd)), size_(std::min(size, kReadLimit)) {}
    int64_t size() const override { return size_; }
    size_t read(int64_t offset, void* dst, size_t n) const override {
        if (offset < 0 || offset >= size_) return 0;
        n = static_cast<size_t>(std::min<int64_t>(int64_t(n), size_ - offset));
        size_t done = 0;
        while (done < n) {
            const ssize_t got = ::pread(fd_.get(), static_cast<char*>(dst) + done, n - done, offset + int64_t(done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += size_t(got);
        }
        return done;
    }

private:
    tv::UniqueFd fd_;
    int64_t size_;
};

// Both markers of an rtmd sample header; its size and nominal rate.
bool rtmdHeaderAt(const tv::ByteSource& src, int64_t at, uint32_t* size, uint32_t* rate) {
    uint8_t h[28];
    if (!src.readExact(at, h, sizeof h)) return false;
    static const uint8_t prefix[4] = {0x00, 0x1C, 0x01, 0x00}, tag[4] = {0xF0, 0x01, 0x00, 0x10};
    if (!std::equal(h, h + 4, prefix) || !std::equal(h + 8, h + 12, tag)) return false;
    if (size) *size = 28u + tv::be16(h + 4) + tv::be16(h + 6);
    if (rate) *rate = tv::be16(h + 18);
    return true;
}

// The picture size from a sequence parameter set carried in the first access
// unit, when the body writes one there (most bodies do not: then it stays
// unknown, since nothing else in the recording states it).
void readInbandSize(const tv::ByteSource& src, int64_t pos, tv::VideoCodec codec, ClipInfo& info) {
    const int hs = tv::nalHeaderSize(codec);
    for (int i = 0; i < 64; ++i) {
        uint8_t head[6] = {};
        if (!src.readExact(pos, head, size_t(4 + hs))) return;
        const uint32_t len = tv::be32(head);
        const auto nal = tv::parseNalHeader(codec, head + 4, size_t(hs));
        if (!nal || len < uint32_t(hs) || len > (1u << 20) || tv::isSlice(codec, nal->type)) return;
        if (nal->type == (codec == tv::VideoCodec::H264 ? 7 : 33)) {
            std::vector<uint8_t> bytes(len);
            if (!src.readExact(pos + 4, bytes.data(), len)) return;
            if (auto sps = tv::summarizeSps(codec, bytes); sps && sps->width && sps->height) {
                info.width = sps->width;
                info.height = sps->height;
            }
            return;
        }
        pos += 4 + int64_t(len);
    }
}

std::optional<ClipInfo> readFirstGroup(const tv::ByteSource& src) {
    uint8_t key[4] = {};
    if (!src.readExact(0, key, 4)) return std::nullopt;
    if (key[0] == 0x06 && key[1] == 0x0E && key[2] == 0x2B && key[3] == 0x34) {
        ClipInfo mxf;
        mxf.codec = "XAVC Intra";
        return mxf;
    }
    int64_t pos = 0;
    uint32_t size = 0, rate = 0;
    if (!rtmdHeaderAt(src, pos, &size, &rate)) {
        const std::optional<int64_t> after = tv::mediaAfterHeader(src);
        if (!after || !rtmdHeaderAt(src, *after, &size, &rate)) return std::nullopt;
        pos = *after;
    }
    if (size < 28) return std::nullopt;
    for (int i = 0; i < kMaxRtmdRun && rtmdHeaderAt(src, pos, nullptr, nullptr); ++i) pos += size;

    ClipInfo info;
    if (rate > 0 && rate <= 240) info.fps = double(rate);
    uint8_t d[6] = {};
    if (!src.readExact(pos, d, sizeof d)) return std::nullopt;
    static const uint8_t avc[5] = {0, 0, 0, 2, 0x09}, hevc[6] = {0, 0, 0, 3, 0x46, 0x01};
    if (std::equal(avc, avc + 5, d)) {
        info.codec = "H.264";
    } else if (std::equal(hevc, hevc + 6, d)) {
        info.codec = "H.265";
    } else {
        return std::nullopt;
    }
    readInbandSize(src, pos, info.codec == "H.264" ? tv::VideoCodec::H264 : tv::VideoCodec::H265, info);
    return info;
}

}  // namespace

Value ClipInfo::toValue() const {
    Value v = Value::object();
    if (width) v["width"] = *width;
    if (height) v["height"] = *height;
    if (fps) v["fps"] = *fps;
    if (codec) v["codec"] = *codec;
    return v;
}

std::optional<ClipInfo> rsvClipInfo(const std::string& path) {
    // O_NONBLOCK: opening a FIFO that took an RSV's name must not wait for a writer.
    tv::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return clipInfoOf(BoundedFile(std::move(fd), int64_t(st.st_size)));
}

std::optional<ClipInfo> clipInfoOf(const tv::ByteSource& rsv) {
    try {
        return readFirstGroup(rsv);
    } catch (...) {
        return std::nullopt;  // a damaged header box, a read error: nothing proven
    }
}

ClipInfo clipInfoFromProbe(const Value& probe, bool mxfFile) {
    ClipInfo info;
    auto w = probe.find("w"), h = probe.find("h"), fps = probe.find("fps"), codec = probe.find("codec");
    if (w != probe.end() && h != probe.end() && w->is_number_integer() && h->is_number_integer() &&
        w->get<int64_t>() > 0 && h->get<int64_t>() > 0) {
        info.width = w->get<int64_t>();
        info.height = h->get<int64_t>();
    }
    if (fps != probe.end() && fps->is_number() && fps->get<double>() > 0) info.fps = fps->get<double>();
    if (mxfFile) {
        info.codec = "XAVC Intra";
    } else if (codec != probe.end() && codec->is_string()) {
        const std::string c = *codec;
        if (c == "avc1" || c == "avc3") info.codec = "H.264";
        if (c == "hvc1" || c == "hev1") info.codec = "H.265";
    }
    return info;
}

std::optional<bool> clipInfoMatch(const ClipInfo& rsv, const ClipInfo& candidate) {
    bool compared = false, same = true;
    auto check = [&](bool known, bool equal) {
        if (!known) return;
        compared = true;
        same = same && equal;
    };
    check(rsv.codec && candidate.codec, rsv.codec == candidate.codec);
    check(rsv.width && candidate.width, rsv.width == candidate.width && rsv.height == candidate.height);
    check(rsv.fps && candidate.fps, rsv.fps && candidate.fps && std::lround(*rsv.fps) == std::lround(*candidate.fps));
    if (!compared) return std::nullopt;
    return same;
}
