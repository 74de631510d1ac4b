// What a group that damage touched still holds: the whole pictures before
// the damage, and after it the pictures and sound that a chain of whole
// pictures proves untouched.
#include "rsv/one_group.h"
#include "rsv/walker_parts.h"

#include <algorithm>
#include <cstring>

namespace tv {
namespace {

// Pictures after the damage are looked for from a delimiter; a damaged
// range of random bytes holds false ones, each costing one chain read.
constexpr int kMaxCandidates = 4096;
constexpr size_t kScanBlock = 1 << 20;

bool isRasl(VideoCodec codec, int type) { return codec == VideoCodec::H265 && (type == 8 || type == 9); }

}  // namespace

// The pictures from the first delimiter in [from, to) whose chain of whole
// pictures (each ending at the next delimiter) ends exactly at `to`; empty
// when none does. A chain that long is no accident of damaged bytes.
std::vector<FrameInfo> GroupWalker::provenTail(int64_t from, int64_t to, int64_t maxPictures) const {
    const int ls = layout_.nalLengthSize;
    const uint8_t audType = layout_.codec == VideoCodec::H264 ? 9 : 35 << 1;
    const uint8_t audLen = layout_.codec == VideoCodec::H264 ? 2 : 3;
    auto chainFrom = [&](int64_t c) {
        std::vector<FrameInfo> chain;
        int64_t p = c;
        bool atEnd = false;
        while (int64_t(chain.size()) < maxPictures) {
            Nal aud = readNal(p);
            if (aud.state != Nal::State::Ok || !isAud(layout_.codec, aud.header.type)) break;
            FrameInfo f;
            f.offset = p;
            const PictureRead r = readPicture(aud.end, f, false, {}, &atEnd, to);
            const bool expected = slicesPerPicture_ == 0 || f.slices == slicesPerPicture_;
            if (f.slices == 0 || !expected || (!r.nextAud && r.end != to)) break;
            f.size = uint32_t(r.end - p);
            chain.push_back(f);
            if (r.end == to) return chain;
            p = r.end;
        }
        return std::vector<FrameInfo>{};
    };
    std::vector<uint8_t> buf;
    int candidates = 0;
    for (int64_t base = from; base < to && candidates < kMaxCandidates; base += int64_t(kScanBlock)) {
        const size_t want = size_t(std::min<int64_t>(int64_t(kScanBlock) + 8, to - base));
        buf = src_.readVector(base, want);
        for (size_t i = 0; i + size_t(ls) + 1 < buf.size() && i < kScanBlock; ++i) {
            // A delimiter: its length (1-byte payload after the header), then its type.
            if (buf[i + size_t(ls) - 1] != audLen || buf[i + size_t(ls)] != audType) continue;
            if (!std::all_of(buf.begin() + long(i), buf.begin() + long(i) + ls - 1, [](uint8_t b) { return b == 0; }))
                continue;
            if (++candidates > kMaxCandidates) break;
            auto chain = chainFrom(base + int64_t(i));
            if (!chain.empty()) return chain;
        }
    }
    return {};
}

GroupResult GroupWalker::salvage(const GroupResult& touched, const WalkClock& clock,
                                 std::optional<int64_t> next) const {
    GroupResult s = touched;
    s.audio.clear();
    s.audioPartial = s.endUnconfirmed = false;
    s.touched = true;
    s.audioLost = !layout_.audio.empty();
    // Before the damage: whole pictures in decode order, none of which can
    // refer to a later one; the first whose bytes show damage ends them.
    auto dirty = std::find_if(s.frames.begin(), s.frames.end(), [&](const FrameInfo& f) { return !frameClean(f); });
    s.frames.erase(dirty, s.frames.end());
    if (s.slots == 0 || !next) return finishGroup(s, s.status, s.reason, s.end);

    const std::vector<int64_t> audioFrames = audioFramesOf(s.slots, clock);
    int64_t audioStart = *next;
    for (size_t t = 0; t < audioFrames.size(); ++t) audioStart -= audioFrames[t] * layout_.audio[t].bytesPerFrame;
    const int64_t damageFrom = s.frames.empty() ? s.rtmdOffset + s.slots * int64_t(layout_.rtmdSize)
                                                : s.frames.back().offset + s.frames.back().size;
    const int64_t room = s.slots - int64_t(s.frames.size());
    auto tail = audioStart > damageFrom ? provenTail(damageFrom, audioStart, room) : std::vector<FrameInfo>{};
    if (tail.empty() || int64_t(tail.size()) >= room) return finishGroup(s, s.status, s.reason, s.end);

    // The damage ended before the chain: the sound after it is intact.
    int64_t q = audioStart;
    for (size_t t = 0; t < audioFrames.size(); ++t) {
        if (audioFrames[t] > 0) s.audio.push_back({t, q, audioFrames[t]});
        q += audioFrames[t] * layout_.audio[t].bytesPerFrame;
    }
    s.audioLost = false;
    // Pictures after the damage from a random-access picture on (a new GOP:
    // none refers to what the damage took), leading pictures of an open GOP
    // and everything from a picture that shows damage left out.
    const int first = int(s.slots - int64_t(tail.size()));
    bool open = false;
    for (size_t j = 0; j < tail.size(); ++j) {
        FrameInfo f = tail[j];
        f.slot = first + int(j);
        if (!open && !isRandomAccess(layout_.codec, f.firstSliceType)) continue;
        open = true;
        if (isRasl(layout_.codec, f.firstSliceType)) continue;
        if (!frameClean(f)) break;
        s.frames.push_back(f);
    }
    return finishGroup(s, s.status, s.reason, s.end);
}

}  // namespace tv
