#include "mxf/mxf_klv.h"

#include "base/bytes.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace tv {
namespace {

// One set's value and the local items in it: caps keep a damaged length
// from driving a large allocation.
constexpr uint64_t kMaxSetBytes = 1u << 20;
constexpr int64_t kMaxMetadataBytes = 64LL << 20;
constexpr int kMaxMetadataPackets = 200000;

// Set kinds: byte 14 of 06 0E 2B 34 02 53 01 01 0D 01 01 01 01 01 xx 00.
enum SetKind : uint8_t {
    kSequence = 0x0F,
    kTimecodeComponent = 0x14,
    kMaterialPackage = 0x36,
    kSourcePackage = 0x37,
    kTrack = 0x3B,
    kMultipleDescriptor = 0x44,
};
bool isPictureDescriptor(uint8_t kind) { return kind == 0x27 || kind == 0x28 || kind == 0x29 || kind == 0x51; }
bool isSoundDescriptor(uint8_t kind) { return kind == 0x42 || kind == 0x47 || kind == 0x48; }

// Static local tags (ST 377-1 annex; a writer may not reassign them).
enum Tag : uint16_t {
    kInstanceUid = 0x3C0A,
    kComponents = 0x1001,
    kTimecodeStart = 0x1501,
    kTimecodeBase = 0x1502,
    kTimecodeDrop = 0x1503,
    kPackageTracks = 0x4403,
    kPackageDescriptor = 0x4701,
    kTrackId = 0x4801,
    kTrackSequence = 0x4803,
    kTrackNumber = 0x4804,
    kEditRate = 0x4B01,
    kLinkedTrackId = 0x3006,
    kPictureCoding = 0x3201,
    kStoredHeight = 0x3202,
    kStoredWidth = 0x3203,
    kSubDescriptors = 0x3F01,
    kQuantizationBits = 0x3D01,
    kAudioSamplingRate = 0x3D03,
    kChannelCount = 0x3D07,
    kBlockAlign = 0x3D0A,
};

using Uid = std::array<uint8_t, 16>;

struct Set {
    uint8_t kind = 0;
    std::map<uint16_t, std::vector<uint8_t>> items;

    const std::vector<uint8_t>* item(uint16_t tag) const {
        auto it = items.find(tag);
        return it == items.end() ? nullptr : &it->second;
    }
    std::optional<uint32_t> u32(uint16_t tag) const {
        auto* v = item(tag);
        if (!v) return std::nullopt;
        if (v->size() == 4) return be32(v->data());
        if (v->size() == 2) return be16(v->data());
        if (v->size() == 1) return (*v)[0];
        return std::nullopt;
    }
    std::optional<Uid> ref(uint16_t tag) const {
        auto* v = item(tag);
        if (!v || v->size() != 16) return std::nullopt;
        Uid u;
        std::memcpy(u.data(), v->data(), 16);
        return u;
    }
    // A batch or array of 16-byte references: count, item size, items.
    std::vector<Uid> refs(uint16_t tag) const {
        std::vector<Uid> out;
        auto* v = item(tag);
        if (!v || v->size() < 8) return out;
        uint32_t n = be32(v->data()), size = be32(v->data() + 4);
        if (size != 16 || uint64_t(n) * 16 > v->size() - 8) return out;
        for (uint32_t i = 0; i < n; ++i) {
            Uid u;
            std::memcpy(u.data(), v->data() + 8 + 16 * i, 16);
            out.push_back(u);
        }
        return out;
    }
    std::optional<MxfRational> rational(uint16_t tag) const {
        auto* v = item(tag);
        if (!v || v->size() != 8) return std::nullopt;
        return MxfRational{int32_t(be32(v->data())), int32_t(be32(v->data() + 4))};
    }
};

std::optional<Set> parseSet(const uint8_t* key, const std::vector<uint8_t>& value) {
    Set s;
    s.kind = key[14];
    ByteReader r(value.data(), value.size());
    while (r.remaining() >= 4) {
        uint16_t tag = r.u16(), len = r.u16();
        if (len > r.remaining()) return std::nullopt;
        s.items[tag].assign(r.pos(), r.pos() + len);
        r.skip(len);
    }
    return s;
}

class Metadata {
public:
    void add(Set s) {
        if (auto uid = s.ref(kInstanceUid)) byUid_[*uid] = sets_.size();
        sets_.push_back(std::move(s));
    }
    const Set* find(const Uid& uid) const {
        auto it = byUid_.find(uid);
        return it == byUid_.end() ? nullptr : &sets_[it->second];
    }
    const std::vector<Set>& sets() const { return sets_; }

    std::vector<const Set*> resolve(const std::vector<Uid>& uids) const {
        std::vector<const Set*> out;
        for (const auto& u : uids)
            if (const Set* s = find(u)) out.push_back(s);
        return out;
    }
    // The descriptors under a package's descriptor (itself, or the
    // sub-descriptors of a multiple descriptor).
    std::vector<const Set*> descriptors(const Set& package) const {
        auto ref = package.ref(kPackageDescriptor);
        const Set* d = ref ? find(*ref) : nullptr;
        if (!d) return {};
        if (d->kind == kMultipleDescriptor) return resolve(d->refs(kSubDescriptors));
        return {d};
    }
    std::optional<MxfTimecode> timecodeOf(const Set& package) const {
        for (const Set* track : resolve(package.refs(kPackageTracks))) {
            auto seqRef = track->ref(kTrackSequence);
            const Set* seq = seqRef ? find(*seqRef) : nullptr;
            if (!seq) continue;
            std::vector<const Set*> parts = seq->kind == kTimecodeComponent
                                                ? std::vector<const Set*>{seq}
                                                : resolve(seq->refs(kComponents));
            for (const Set* c : parts) {
                auto* start = c->item(kTimecodeStart);
                auto base = c->u32(kTimecodeBase);
                if (c->kind != kTimecodeComponent || !start || start->size() != 8 || !base || *base == 0)
                    continue;
                MxfTimecode tc;
                tc.startFrames = int64_t(be64(start->data()));
                tc.roundedBase = uint16_t(*base);
                tc.dropFrame = c->u32(kTimecodeDrop).value_or(0) != 0;
                if (tc.startFrames >= 0) return tc;
            }
        }
        return std::nullopt;
    }

private:
    std::vector<Set> sets_;
    std::map<Uid, size_t> byUid_;
};

std::optional<MxfSettings> settingsFrom(const Metadata& md) {
    for (const Set& pkg : md.sets()) {
        if (pkg.kind != kSourcePackage) continue;
        MxfSettings s;
        auto descriptors = md.descriptors(pkg);
        auto descriptorFor = [&](uint32_t trackId, bool picture) -> const Set* {
            const Set* fallback = nullptr;
            for (const Set* d : descriptors) {
                if (picture ? !isPictureDescriptor(d->kind) : !isSoundDescriptor(d->kind)) continue;
                auto linked = d->u32(kLinkedTrackId);
                if (linked && *linked == trackId) return d;
                if (!linked && !fallback) fallback = d;
            }
            return fallback;
        };
        for (const Set* track : md.resolve(pkg.refs(kPackageTracks))) {
            uint32_t number = track->u32(kTrackNumber).value_or(0);
            uint32_t id = track->u32(kTrackId).value_or(0);
            if (isPictureElement(number) && s.pictureTrack == 0) {
                s.pictureTrack = number;
                s.editRate = track->rational(kEditRate).value_or(MxfRational{});
                if (const Set* d = descriptorFor(id, true)) {
                    s.storedWidth = uint16_t(d->u32(kStoredWidth).value_or(0));
                    s.storedHeight = uint16_t(d->u32(kStoredHeight).value_or(0));
                    // H.264 picture coding labels: 06 0E 2B 34 04 01 01 0A 04 01 02 02 01 ...
                    auto* coding = d->item(kPictureCoding);
                    s.pictureIsAvc = coding && coding->size() == 16 && (*coding)[8] == 0x04 &&
                                     (*coding)[9] == 0x01 && (*coding)[10] == 0x02 &&
                                     (*coding)[11] == 0x02 && (*coding)[12] == 0x01;
                }
            } else if (isSoundElement(number)) {
                MxfSoundTrack t;
                t.trackNumber = number;
                if (const Set* d = descriptorFor(id, false)) {
                    auto rate = d->rational(kAudioSamplingRate);
                    if (rate && rate->valid() && rate->num % rate->den == 0)
                        t.sampleRate = uint32_t(rate->num / rate->den);
                    t.channels = d->u32(kChannelCount).value_or(0);
                    t.bits = d->u32(kQuantizationBits).value_or(0);
                    t.blockAlign = d->u32(kBlockAlign).value_or(0);
                    if (t.blockAlign == 0) t.blockAlign = t.channels * ((t.bits + 7) / 8);
                }
                if (t.sampleRate == 0 || t.channels == 0 || t.bits == 0 || t.bits > 32 ||
                    t.blockAlign != t.channels * ((t.bits + 7) / 8))
                    continue;  // a sound track we cannot describe is left out
                s.sounds.push_back(t);
            }
        }
        if (!s.usable()) continue;
        std::sort(s.sounds.begin(), s.sounds.end(),
                  [](const MxfSoundTrack& a, const MxfSoundTrack& b) { return a.trackNumber < b.trackNumber; });
        for (const Set& m : md.sets())
            if (m.kind == kMaterialPackage && !s.timecode) s.timecode = md.timecodeOf(m);
        if (!s.timecode) s.timecode = md.timecodeOf(pkg);
        return s;
    }
    return std::nullopt;
}

}  // namespace

bool plausibleKey(const uint8_t* k) {
    return k[0] == 0x06 && k[1] == 0x0E && k[2] == 0x2B && k[3] == 0x34 && k[4] >= 0x01 && k[4] <= 0x04;
}

bool isHeaderPartition(const uint8_t* k) {
    static const uint8_t kPrefix[] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                      0x0D, 0x01, 0x02, 0x01, 0x01, 0x02};
    return std::memcmp(k, kPrefix, sizeof kPrefix) == 0;
}

KeyKind keyKind(const uint8_t* k) {
    if (!plausibleKey(k)) return KeyKind::Other;
    // Fill items: 06 0E 2B 34 01 01 01 0x 03 01 02 10 01 00 00 00.
    if (k[4] == 0x01 && k[8] == 0x03 && k[9] == 0x01 && k[10] == 0x02 && k[11] == 0x10) return KeyKind::Fill;
    if (k[8] != 0x0D || k[9] != 0x01) return KeyKind::Other;
    if (k[10] == 0x03 && k[11] == 0x01) {
        if (k[4] == 0x01) return KeyKind::Essence;
        return (k[12] == 0x04 || k[12] == 0x14) ? KeyKind::SystemItem : KeyKind::Other;
    }
    if (k[10] == 0x01 && k[11] == 0x01 && k[12] == 0x01 && k[4] == 0x02 && k[5] == 0x53)
        return KeyKind::MetadataSet;
    if (k[10] == 0x02 && k[11] == 0x01 && k[12] == 0x01) {
        if (k[13] >= 0x02 && k[13] <= 0x04) return KeyKind::Partition;
        if (k[13] == 0x05) return KeyKind::Primer;
        if (k[13] == 0x10) return KeyKind::IndexSegment;
        if (k[13] == 0x11) return KeyKind::RandomIndex;
    }
    return KeyKind::Other;
}

bool startsWithMxfKey(const ByteSource& src) {
    uint8_t k[4];
    return src.readExact(0, k, 4) && k[0] == 0x06 && k[1] == 0x0E && k[2] == 0x2B && k[3] == 0x34;
}

std::optional<Klv> readKlv(const ByteSource& src, int64_t offset) {
    uint8_t h[25];
    size_t got = src.read(offset, h, sizeof h);
    if (got < 17 || !plausibleKey(h)) return std::nullopt;
    Klv k;
    std::memcpy(k.key.data(), h, 16);
    k.offset = offset;
    uint8_t first = h[16];
    size_t lenBytes = 0;
    if (first < 0x80) {
        k.length = first;
    } else {
        lenBytes = first & 0x7F;
        if (lenBytes == 0 || lenBytes > 8 || got < 17 + lenBytes) return std::nullopt;
        uint64_t v = 0;
        for (size_t i = 0; i < lenBytes; ++i) v = v << 8 | h[17 + i];
        if (v > uint64_t(INT64_MAX / 2)) return std::nullopt;
        k.length = v;
    }
    k.valueOffset = offset + 17 + int64_t(lenBytes);
    return k;
}

std::optional<MxfSettings> parseHeaderMetadata(const ByteSource& src, int64_t begin, int64_t end) {
    Metadata md;
    int64_t pos = begin;
    for (int n = 0; n < kMaxMetadataPackets && pos < end && pos - begin < kMaxMetadataBytes; ++n) {
        auto klv = readKlv(src, pos);
        if (!klv || klv->end() > src.size()) break;
        KeyKind kind = keyKind(klv->key.data());
        if (kind == KeyKind::MetadataSet && klv->length <= kMaxSetBytes) {
            auto value = src.readVector(klv->valueOffset, size_t(klv->length));
            if (value.size() == klv->length)
                if (auto set = parseSet(klv->key.data(), value)) md.add(std::move(*set));
        } else if (kind != KeyKind::Primer && kind != KeyKind::Fill && kind != KeyKind::MetadataSet &&
                   kind != KeyKind::Other) {
            break;  // essence, index or the next partition: the metadata has ended
        }
        pos = klv->end();
    }
    return settingsFrom(md);
}

namespace {

// The footer partition's offset: from the header partition pack (its
// FooterPartition field), else from the random index pack at the very end.
std::optional<int64_t> footerOffset(const ByteSource& src, const Klv& headerPack) {
    uint8_t v[32];
    if (headerPack.length >= 32 && src.readExact(headerPack.valueOffset, v, sizeof v)) {
        uint64_t footer = be64(v + 24);
        if (footer > 0 && footer < uint64_t(src.size())) return int64_t(footer);
    }
    uint8_t tail[4];
    if (!src.readExact(src.size() - 4, tail, 4)) return std::nullopt;
    int64_t ripAt = src.size() - int64_t(be32(tail));
    auto rip = readKlv(src, ripAt);
    if (!rip || keyKind(rip->key.data()) != KeyKind::RandomIndex || rip->end() != src.size() || rip->length < 16)
        return std::nullopt;
    uint8_t last[8];  // the last (BodySID, ByteOffset) pair, before the 4-byte length
    if (!src.readExact(rip->end() - 12, last, 8)) return std::nullopt;
    uint64_t footer = be64(last);
    return footer < uint64_t(src.size()) ? std::optional<int64_t>(int64_t(footer)) : std::nullopt;
}

}  // namespace

std::optional<MxfSettings> readMxfSettings(const ByteSource& src) {
    auto pack = readKlv(src, 0);
    if (!pack || !isHeaderPartition(pack->key.data()) || pack->end() > src.size()) return std::nullopt;
    if (auto s = parseHeaderMetadata(src, pack->end(), src.size())) return s;
    // A finished file may keep its complete header metadata in the footer only.
    auto at = footerOffset(src, *pack);
    auto footer = at ? readKlv(src, *at) : std::nullopt;
    if (!footer || keyKind(footer->key.data()) != KeyKind::Partition || footer->key[13] != 0x04) return std::nullopt;
    return parseHeaderMetadata(src, footer->end(), src.size());
}

std::string trackNumberText(uint32_t trackNumber) {
    char b[12];
    snprintf(b, sizeof b, "%08X", trackNumber);
    return b;
}

std::string MxfSettings::describe() const {
    char rate[48];
    snprintf(rate, sizeof rate, "%d/%d", editRate.num, editRate.den);
    std::string s = "MXF, edit rate " + std::string(rate) + ", picture " +
                    (pictureIsAvc ? "H.264" : "of another coding");
    if (storedWidth && storedHeight)
        s += " " + std::to_string(storedWidth) + "x" + std::to_string(storedHeight);
    s += ", " + std::to_string(sounds.size()) + " sound track" + (sounds.size() == 1 ? "" : "s");
    if (!sounds.empty())
        s += " (" + std::to_string(sounds.front().bits) + "-bit, " + std::to_string(sounds.front().sampleRate) +
             " Hz)";
    if (timecode) s += ", start timecode frame " + std::to_string(timecode->startFrames);
    return s;
}

}  // namespace tv
