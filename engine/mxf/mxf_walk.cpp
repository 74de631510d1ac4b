#include "mxf/mxf_walk.h"

#include "base/damage_log.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace tv {
namespace {

constexpr size_t kScanBlock = 1u << 20;

bool allZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

// A packet whose successor is a plausible key, zero bytes (space reserved
// after the last packet; no key starts with zero), the exact end of the
// file, or a tail too short to hold a key (the cut falls in the next key).
bool chainHolds(const ByteSource& src, const Klv& k) {
    int64_t next = k.end();
    if (next > src.size()) return false;
    uint8_t key[16];
    size_t got = src.read(next, key, sizeof key);
    if (got == sizeof key) return plausibleKey(key) || allZero(key, got);
    static const uint8_t kPrefix[] = {0x06, 0x0E, 0x2B, 0x34};
    return std::memcmp(key, kPrefix, std::min<size_t>(got, 4)) == 0 || allZero(key, got);
}

// True when [from, end of file) holds only zero bytes.
bool zeroTail(const ByteSource& src, int64_t from) {
    std::vector<uint8_t> buf(size_t(std::min<int64_t>(int64_t(kScanBlock), src.size() - from)));
    for (int64_t at = from; at < src.size();) {
        size_t got = src.read(at, buf.data(), buf.size());
        if (got == 0 || !allZero(buf.data(), got)) return got == 0;
        at += int64_t(got);
    }
    return true;
}

// The next offset at or after `from` where an element of `track` starts and
// its packet chain holds.
std::optional<int64_t> findPicture(const ByteSource& src, int64_t from, uint32_t track) {
    if (from >= src.size()) return std::nullopt;
    std::vector<uint8_t> buf(size_t(std::min<int64_t>(int64_t(kScanBlock) + 16, src.size() - from)));
    for (int64_t at = from; at < src.size(); at += int64_t(kScanBlock)) {
        size_t got = src.read(at, buf.data(), buf.size());
        if (got < 16) return std::nullopt;
        for (size_t i = 0; i + 16 <= got && i < kScanBlock;) {
            auto* hit = static_cast<const uint8_t*>(std::memchr(buf.data() + i, 0x06, std::min(got - 15, kScanBlock) - i));
            if (!hit) break;
            i = size_t(hit - buf.data());
            MxfKey key;
            std::memcpy(key.data(), hit, 16);
            if (keyKind(hit) == KeyKind::Essence && essenceTrackNumber(key) == track) {
                auto k = readKlv(src, at + int64_t(i));
                if (k && k->length <= kMaxPictureBytes && chainHolds(src, *k)) return at + int64_t(i);
            }
            ++i;
        }
    }
    return std::nullopt;
}

bool plausibleKey4(const uint8_t* k) { return k[0] == 0x06 && k[1] == 0x0E && k[2] == 0x2B && k[3] == 0x34; }

class PackageAssembler {
public:
    PackageAssembler(const MxfSettings& s, MxfWalk& out, Reporter& rep) : s_(s), out_(out), rep_(rep) {
        out_.elementsPerPackage = 1 + s.sounds.size();
        sounds_.resize(s.sounds.size());
    }

    void element(const Klv& k) {
        out_.sawEssence = true;
        uint32_t track = essenceTrackNumber(k.key);
        if (track == s_.pictureTrack) {
            close(false);
            out_.sawPicture = true;
            open_ = true;
            start_ = k.offset;
            picture_ = k;
            std::fill(sounds_.begin(), sounds_.end(), std::nullopt);
            return;
        }
        for (size_t i = 0; i < s_.sounds.size(); ++i) {
            if (s_.sounds[i].trackNumber != track) continue;
            if (!open_) return;  // sound before any picture: the package began before the file
            if (sounds_[i] || k.length == 0 || k.length % s_.sounds[i].blockAlign != 0 || k.length > UINT32_MAX)
                drop(k.end(), "sound element of track " + trackNumberText(track) + " at offset " +
                                  std::to_string(k.offset) + " does not fit its package");
            else
                sounds_[i] = k;
            return;
        }
        if (isPictureElement(track) || isSoundElement(track)) out_.foreignTracks.insert(track);
    }

    // Drops the open package up to `until` (damage found inside it).
    void drop(int64_t until, const std::string& reason) {
        if (!open_) return;
        open_ = false;
        rep_.info(log_.skip(start_, until - start_, reason));
    }
    // Ends the open package: kept when every sound track has its element.
    void close(bool atCut) {
        if (!open_) return;
        open_ = false;
        if (!whole()) {
            if (atCut)
                rep_.info("the last frame (offset " + std::to_string(start_) + ") is cut before all its sound; not kept");
            else
                rep_.info(log_.skip(start_, lastEnd_ - start_, "a frame without all its sound tracks"));
            return;
        }
        out_.offsets.push_back(picture_.valueOffset);
        out_.lengths.push_back(uint32_t(picture_.length));
        for (const auto& k : sounds_) {
            out_.offsets.push_back(k->valueOffset);
            out_.lengths.push_back(uint32_t(k->length));
        }
    }
    bool open() const { return open_; }
    void discard() { open_ = false; }
    bool lastElementEndsInZeros(const ByteSource& src) const {
        int64_t end = picture_.end();
        for (const auto& k : sounds_)
            if (k) end = std::max(end, k->end());
        uint8_t tail[16];
        return end >= 16 && src.readExact(end - 16, tail, 16) && allZero(tail, 16);
    }
    bool whole() const {
        return std::all_of(sounds_.begin(), sounds_.end(), [](const auto& k) { return k.has_value(); });
    }
    int64_t openStart() const { return start_; }
    void seen(int64_t end) { lastEnd_ = end; }
    DamageLog& log() { return log_; }

private:
    const MxfSettings& s_;
    MxfWalk& out_;
    Reporter& rep_;
    DamageLog log_;
    bool open_ = false;
    int64_t start_ = 0, lastEnd_ = 0;
    Klv picture_;
    std::vector<std::optional<Klv>> sounds_;
};

}  // namespace

int64_t MxfWalk::payloadBytes() const {
    int64_t n = 0;
    for (uint32_t l : lengths) n += l;
    return n;
}

MxfWalk walkMxf(const ByteSource& src, const MxfSettings& settings, Reporter& rep) {
    MxfWalk out;
    PackageAssembler pkgs(settings, out, rep);
    const int64_t size = src.size();
    int64_t pos = 0;
    int lastShown = -1;

    while (pos < size) {
        int pct = int(100.0 * double(pos) / double(size));
        if (pct != lastShown) {
            rep.progress(pct);
            lastShown = pct;
        }
        auto k = readKlv(src, pos);
        std::string damage;
        if (!k) {
            if (size - pos < 17) break;  // the cut fell in a key
            damage = "no MXF packet where one should start";
        } else if (k->end() > size || !chainHolds(src, *k)) {
            damage = k->end() > size ? "a packet running past the end of the file"
                                     : "a packet whose length does not lead to the next packet";
        } else if (keyKind(k->key.data()) == KeyKind::Essence && essenceTrackNumber(k->key) == settings.pictureTrack &&
                   k->length > kMaxPictureBytes) {
            damage = "a picture element of implausible size";
        }
        if (!damage.empty() && !k && zeroTail(src, pos)) {
            rep.info("the file ends with " + groupDigits(size - pos) + " zero bytes after its last packet");
            // Space reserved ahead of the writing: a last element that ends in
            // zeros may have been cut there, its length written in advance.
            if (pkgs.open() && pkgs.lastElementEndsInZeros(src)) {
                rep.info("the last frame runs into the zero bytes; not kept");
                pkgs.discard();
            }
            break;
        }
        if (!damage.empty()) {
            // A package whose elements all verified is kept: the damage starts after it.
            if (pkgs.open() && pkgs.whole()) pkgs.close(false);
            const int64_t from = pkgs.open() ? pkgs.openStart() : pos;
            auto found = findPicture(src, pos + 1, settings.pictureTrack);
            if (!found) {
                uint8_t head[4] = {};
                bool cutKey = !k && size - pos < 25 && src.readExact(pos, head, 4) && plausibleKey4(head);
                if ((k && k->end() > size) || cutKey) {
                    // The cut: the last packet is incomplete.
                    rep.info("the recording is cut inside the packet at offset " + std::to_string(pos));
                    pkgs.close(true);

                } else {
                    pkgs.close(true);
                    rep.info(pkgs.log().skip(pos, size - pos, damage + "; nothing verifiable follows, not recovered"));
                }
                pos = size;
                break;
            }
            if (pkgs.open()) pkgs.drop(*found, damage);
            else if (pos == 0) rep.info("the RSV does not start with an MXF packet; skipped " + groupDigits(*found) +
                                        " bytes before its first picture element");
            else rep.info(pkgs.log().skip(from, *found - from, damage));
            pos = *found;
            continue;
        }
        if (keyKind(k->key.data()) == KeyKind::Essence) pkgs.element(*k);
        pos = k->end();
        pkgs.seen(pos);
    }
    pkgs.close(true);
    rep.progress(100);
    out.skippedRanges = pkgs.log().ranges();
    out.skippedBytes = pkgs.log().bytes();
    if (pkgs.log().ranges() > 0) rep.info(pkgs.log().totals());
    return out;
}

}  // namespace tv
