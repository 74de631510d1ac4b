#include "mxf/mxf_walk.h"

#include "base/damage_log.h"

#include <algorithm>
#include <cmath>
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

// The system metadata pack of a content package's system item: bytes 5..6
// of its value are the package's continuity count.
bool isSystemPack(const uint8_t* k) { return keyKind(k) == KeyKind::SystemItem && k[14] == 0x01; }

// An essence element's place in a package: 0 the picture, 1 + i sound track i.
std::optional<size_t> elementIndex(const MxfSettings& s, uint32_t track) {
    if (track == s.pictureTrack) return 0;
    for (size_t i = 0; i < s.sounds.size(); ++i)
        if (s.sounds[i].trackNumber == track) return 1 + i;
    return std::nullopt;
}

// The next offset at or after `from` where a system pack or an element of the
// settings' tracks starts and its packet chain holds.
std::optional<int64_t> findElement(const ByteSource& src, int64_t from, const MxfSettings& s) {
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
            const bool essence = keyKind(hit) == KeyKind::Essence;
            const auto index = essence ? elementIndex(s, essenceTrackNumber(key)) : std::nullopt;
            if (index || isSystemPack(hit)) {
                auto k = readKlv(src, at + int64_t(i));
                if (k && (index != size_t(0) || k->length <= kMaxPictureBytes) && chainHolds(src, *k))
                    return at + int64_t(i);
            }
            ++i;
        }
    }
    return std::nullopt;
}

bool plausibleKey4(const uint8_t* k) { return k[0] == 0x06 && k[1] == 0x0E && k[2] == 0x2B && k[3] == 0x34; }

// round(n x rate x den / num): sound samples in the first n edit units.
int64_t samplesBefore(int64_t n, const MxfSoundTrack& t, const MxfRational& r) {
    const __int128 a = __int128(n) * t.sampleRate * r.den;
    return int64_t((2 * a + r.num) / (2 * __int128(r.num)));
}

// Gathers content packages in file order and hands them to the walk's
// arrays, with the packages that damage took entirely as lost ones.
class PackageAssembler {
public:
    PackageAssembler(const MxfSettings& s, MxfWalk& out, Reporter& rep) : s_(s), out_(out), rep_(rep) {
        out_.elementsPerPackage = 1 + s.sounds.size();
    }

    void systemPack(const ByteSource& src, const Klv& k) {
        close();
        begin(k.offset);
        uint8_t v[7];
        if (k.length >= 7 && src.readExact(k.valueOffset, v, 7)) open_->continuity = uint16_t(v[5] << 8 | v[6]);
    }

    void element(const Klv& k) {
        out_.sawEssence = true;
        const uint32_t track = essenceTrackNumber(k.key);
        const auto index = elementIndex(s_, track);
        if (!index) {
            if (isPictureElement(track) || isSoundElement(track)) out_.foreignTracks.insert(track);
            return;
        }
        if (*index == 0) {
            out_.sawPicture = true;
            if (!open_ || open_->next > 0 || (open_->resynced && !withinOne(k.offset))) {
                close();
                begin(k.offset);
            }
            open_->picture = k;
            accepted(1);
            return;
        }
        if (!open_) return;  // sound before any package: the package began before the file
        sound(k, *index - 1);
    }

    // Damage: [from, to) skipped. The open package loses what lay there.
    void skipped(int64_t from, int64_t to, const std::string& reason) {
        rep_.info(log_.skip(from, to - from, reason));
        if (!open_ && !last_ && !leadFrom_) leadFrom_ = from;
        gap_ = true;
        if (open_) open_->touched = open_->resynced = true;
    }

    // Ends the open package: kept with what it holds.
    void close() {
        if (!open_) return;
        Package p = std::move(*open_);
        open_.reset();
        if (last_ && p.afterGap) {
            const int64_t lost = lostBefore(p);
            if (lost > 0)
                rep_.info(std::to_string(lost) + " frames lost whole between offsets " + std::to_string(last_->start) +
                          " and " + std::to_string(p.start));
            for (int64_t i = 0; i < lost; ++i) {
                Package whole;
                // Sound found after the damage just before this package is the last lost one's.
                if (i + 1 == lost && p.start - p.before.start < span()) whole.sounds = std::move(p.before.sounds);
                push(whole);
            }
        } else if (last_ && !p.touched && !last_->touched) {
            learn(p);
        }
        for (size_t i = 0; i < p.sounds.size() && !p.touched; ++i)
            if (!p.sounds[i])
                rep_.info("the frame at offset " + std::to_string(p.start) + " has no element of sound track " +
                          trackNumberText(s_.sounds[i].trackNumber) + "; silence stands in for it");
        if (!last_) firstStart_ = p.start;
        push(p);
        last_ = std::move(p);
    }

    // The end of the walk: a package cut before its last element is not kept.
    void end(const std::string& why) {
        if (open_ && open_->next < out_.elementsPerPackage) {
            rep_.info("the last frame (offset " + std::to_string(open_->start) + ") " + why + "; not kept");
            open_.reset();
        }
        close();
    }
    // Zero bytes where a packet should start at `pos`: a picture that ends
    // right there in zeros ran into them (its last bytes were zeroed).
    void zerosAt(const ByteSource& src, int64_t pos) {
        uint8_t around[2] = {1, 1};  // the picture's last byte and the one after it
        if (!open_ || !open_->picture || open_->next != 1 || open_->picture->end() != pos ||
            open_->picture->length == 0 || !src.readExact(pos - 1, around, 2) || around[0] != 0 || around[1] != 0)
            return;
        rep_.info("the picture at offset " + std::to_string(open_->picture->offset) + " runs into zeroed bytes; not kept");
        open_->picture.reset();
        open_->touched = true;
    }
    void discard(const std::string& why) {
        if (open_) rep_.info(why);
        open_.reset();
    }
    bool open() const { return open_.has_value(); }
    bool lastElementEndsInZeros(const ByteSource& src) const {
        if (!open_) return false;
        int64_t end = open_->picture ? open_->picture->end() : 0;
        for (const auto& k : open_->sounds)
            if (k) end = std::max(end, k->end());
        uint8_t tail[16];
        return end >= 16 && src.readExact(end - 16, tail, 16) && allZero(tail, 16);
    }
    void finish();
    DamageLog& log() { return log_; }

private:
    // Sound elements found after damage beyond the open package's bytes:
    // their package's head was lost.
    struct Orphans {
        int64_t start = 0;
        std::vector<std::optional<Klv>> sounds;
        size_t next = 0;
    };
    struct Package {
        Orphans before;  // sound found after the damage before this package
        int64_t start = 0;
        std::optional<uint16_t> continuity;
        std::optional<Klv> picture;
        std::vector<std::optional<Klv>> sounds;
        size_t next = 0;          // elements below this index are passed
        bool afterGap = false;    // bytes were skipped between the package before and this one
        bool touched = false;     // damage inside it
        bool resynced = false;    // a skip since its last element
    };

    void begin(int64_t start) {
        open_ = Package{};
        open_->start = start;
        open_->sounds.resize(s_.sounds.size());
        open_->afterGap = gap_;
        if (gap_) open_->before = std::move(orphans_);
        orphans_ = Orphans{};
        gap_ = false;
    }
    void accepted(size_t next) {
        open_->next = next;
        open_->resynced = false;
        gap_ = false;
    }
    void sound(const Klv& k, size_t i);
    bool wholeSamples(const Klv& k, size_t i) const {
        return k.length > 0 && k.length % s_.sounds[i].blockAlign == 0 && k.length <= UINT32_MAX;
    }
    // Whether `offset` lies within one package's bytes of the open package's start.
    bool withinOne(int64_t offset) const { return spans_ > 0 && (offset - open_->start) * spans_ < spanBytes_; }
    int64_t span() const { return spans_ > 0 ? spanBytes_ / spans_ : 0; }
    int64_t lostBefore(const Package& p) const;
    void learn(const Package& p);
    void push(const Package& p);

    const MxfSettings& s_;
    MxfWalk& out_;
    Reporter& rep_;
    DamageLog log_;
    std::optional<Package> open_, last_;
    Orphans orphans_;
    // Where damage began before any package, and where the first package began.
    std::optional<int64_t> leadFrom_;
    int64_t firstStart_ = 0;
    bool gap_ = false;  // bytes skipped since the last element taken
    // What whole adjacent packages proved: continuity counts that advanced
    // by one and that did not, and the bytes one package takes.
    int64_t steps_ = 0, jumps_ = 0, spanBytes_ = 0, spans_ = 0;
};

// A sound element joins the open package when its track comes after what
// the package holds and, after damage, when it lies within one package's
// bytes of the package's start.
void PackageAssembler::sound(const Klv& k, size_t i) {
    const std::string what = "sound element of track " + trackNumberText(s_.sounds[i].trackNumber) + " at offset " +
                             std::to_string(k.offset);
    const bool inOrder = open_->next <= 1 + i;
    if (open_->resynced && !(inOrder && withinOne(k.offset))) {
        // The package's head was lost: kept for the package before the next
        // one, if that follows within a package's bytes.
        if (orphans_.next <= 1 + i && wholeSamples(k, i)) {
            if (orphans_.next == 0) orphans_.start = k.offset;
            orphans_.sounds.resize(s_.sounds.size());
            orphans_.sounds[i] = k;
            orphans_.next = 2 + i;
            return;
        }
    }
    if (!inOrder || (open_->resynced && !withinOne(k.offset))) {
        rep_.info(log_.skip(k.offset, k.end() - k.offset, "a " + what + " out of its place"));
        return;
    }
    accepted(2 + i);
    if (!wholeSamples(k, i)) {
        open_->touched = true;
        rep_.info(log_.skip(k.offset, k.end() - k.offset, "a " + what + " that is not whole sample frames"));
        return;
    }
    open_->sounds[i] = k;
}

// Packages whose time lies between the last one and `p`: by the continuity
// counts when they have advanced one per package so far (the nearest count
// the bytes allow, past a wrap), else by the bytes per package.
int64_t PackageAssembler::lostBefore(const Package& p) const {
    std::optional<int64_t> byBytes;
    if (spans_ > 0)
        byBytes = std::max<int64_t>(0, std::llround(double(p.start - last_->start) * double(spans_) /
                                                    double(spanBytes_)) - 1);
    if (steps_ > jumps_ && p.continuity && last_->continuity) {
        int64_t n = (int64_t(*p.continuity) - *last_->continuity - 1) & 0xFFFF;
        if (byBytes) n += 65536 * std::llround(double(*byBytes - n) / 65536.0);
        return std::max<int64_t>(0, n);
    }
    return byBytes.value_or(0);
}

void PackageAssembler::learn(const Package& p) {
    spanBytes_ += p.start - last_->start;
    ++spans_;
    if (p.continuity && last_->continuity) {
        if (*p.continuity == uint16_t(*last_->continuity + 1)) ++steps_;
        else ++jumps_;
    }
}

void PackageAssembler::push(const Package& p) {
    auto put = [&](const std::optional<Klv>& k) {
        out_.offsets.push_back(k ? k->valueOffset : MxfWalk::kLostElement);
        out_.lengths.push_back(k ? uint32_t(k->length) : 0);
    };
    put(p.picture);
    for (size_t i = 0; i < s_.sounds.size(); ++i) put(i < p.sounds.size() ? p.sounds[i] : std::nullopt);
}

// Packages with nothing kept at either end carry no time worth keeping; a
// lost sound element becomes silence as long as a kept one of its package
// at the same rate, else as the edit rate gives.
void PackageAssembler::finish() {
    const size_t per = out_.elementsPerPackage;
    auto empty = [&](size_t p) {
        for (size_t e = 0; e < per; ++e)
            if (!out_.lost(p, e)) return false;
        return true;
    };
    size_t first = 0, n = out_.packages();
    while (first < n && empty(first)) ++first;
    while (n > first && empty(n - 1)) --n;
    if (first < n) {
        out_.leadUnits = int64_t(first);
        if (leadFrom_ && spans_ > 0)
            out_.leadUnits += std::llround(double(firstStart_ - *leadFrom_) * double(spans_) / double(spanBytes_));
    }
    out_.offsets.assign(out_.offsets.begin() + long(first * per), out_.offsets.begin() + long(n * per));
    out_.lengths.assign(out_.lengths.begin() + long(first * per), out_.lengths.begin() + long(n * per));
    for (size_t p = 0; p < out_.packages(); ++p) {
        for (size_t i = 0; i < s_.sounds.size(); ++i) {
            if (!out_.lost(p, 1 + i)) continue;
            const MxfSoundTrack& t = s_.sounds[i];
            int64_t samples = samplesBefore(int64_t(p) + 1, t, s_.editRate) - samplesBefore(int64_t(p), t, s_.editRate);
            for (size_t j = 0; j < s_.sounds.size(); ++j)
                if (!out_.lost(p, 1 + j) && s_.sounds[j].sampleRate == t.sampleRate)
                    samples = out_.lengths[p * per + 1 + j] / s_.sounds[j].blockAlign;
            out_.lengths[p * per + 1 + i] = uint32_t(std::min<int64_t>(samples * t.blockAlign, UINT32_MAX / t.blockAlign * t.blockAlign));
        }
    }
}

// Why the packet at `pos` is damage; empty when it is not.
std::string damageAt(const ByteSource& src, const std::optional<Klv>& k, const MxfSettings& s) {
    if (!k) return "no MXF packet where one should start";
    if (k->end() > src.size()) return "a packet running past the end of the file";
    if (!chainHolds(src, *k)) return "a packet whose length does not lead to the next packet";
    if (keyKind(k->key.data()) == KeyKind::Essence && essenceTrackNumber(k->key) == s.pictureTrack &&
        k->length > kMaxPictureBytes)
        return "a picture element of implausible size";
    return {};
}

}  // namespace

int64_t MxfWalk::payloadBytes() const {
    int64_t n = 0;
    for (size_t i = 0; i < lengths.size(); ++i)
        if (offsets[i] >= 0) n += lengths[i];
    return n;
}

MxfWalk walkMxf(const ByteSource& src, const MxfSettings& settings, Reporter& rep) {
    MxfWalk out;
    PackageAssembler pkgs(settings, out, rep);
    const int64_t size = src.size();
    int64_t pos = 0;
    int lastShown = -1;
    std::string endWhy = "is cut before all its sound";

    while (pos < size) {
        int pct = int(100.0 * double(pos) / double(size));
        if (pct != lastShown) rep.progress(lastShown = pct);
        auto k = readKlv(src, pos);
        const std::string damage = damageAt(src, k, settings);
        if (damage.empty()) {
            if (keyKind(k->key.data()) == KeyKind::Essence) pkgs.element(*k);
            else if (isSystemPack(k->key.data())) pkgs.systemPack(src, *k);
            pos = k->end();
            continue;
        }
        if (!k && size - pos < 17) break;  // the cut fell in a key
        if (!k && zeroTail(src, pos)) {
            rep.info("the file ends with " + groupDigits(size - pos) + " zero bytes after its last packet");
            // Space reserved ahead of the writing: a last element that ends in
            // zeros may have been cut there, its length written in advance.
            if (pkgs.lastElementEndsInZeros(src)) pkgs.discard("the last frame runs into the zero bytes; not kept");
            break;
        }
        if (!k) pkgs.zerosAt(src, pos);
        auto found = findElement(src, pos + 1, settings);
        if (!found) {
            uint8_t head[4] = {};
            bool cutKey = !k && size - pos < 25 && src.readExact(pos, head, 4) && plausibleKey4(head);
            if ((k && k->end() > size) || cutKey) {
                rep.info("the recording is cut inside the packet at offset " + std::to_string(pos));
            } else {
                rep.info(pkgs.log().skip(pos, size - pos, damage + "; nothing verifiable follows, not recovered"));
                endWhy = "lost its last elements to damage";
            }
            break;
        }
        if (pos == 0 && !pkgs.open())
            rep.info("the RSV does not start with an MXF packet; skipped " + groupDigits(*found) +
                     " bytes before its first element");
        else
            pkgs.skipped(pos, *found, damage);
        pos = *found;
    }
    pkgs.end(endWhy);
    pkgs.finish();
    rep.progress(100);
    out.skippedRanges = pkgs.log().ranges();
    out.skippedBytes = pkgs.log().bytes();
    if (pkgs.log().ranges() > 0) rep.info(pkgs.log().totals());
    return out;
}

}  // namespace tv
