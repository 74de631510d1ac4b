#include "rsv/one_group.h"

#include "mp4/box.h"

#include "base/bytes.h"

#include <algorithm>

namespace tv {
namespace {

constexpr uint8_t kRtmdPrefix[4] = {0x00, 0x1C, 0x01, 0x00};
constexpr uint8_t kRtmdTag[4] = {0xF0, 0x01, 0x00, 0x10};
// Enough of a NAL unit for its slice header or a few SEI messages.
constexpr size_t kNalWindow = 256;
// Zeros after the last group are tail padding only when this short.
constexpr int64_t kMaxZeroTail = 1 << 20;

}  // namespace

struct GroupWalker::Nal {
    enum class State { Ok, Eof, Truncated, Invalid, Beyond };
    State state = State::Eof;
    int64_t offset = 0, end = 0;
    NalHeader header;
    std::vector<uint8_t> head;  // from the NAL header on, at most kNalWindow bytes
};

StreamLayout StreamLayout::from(const Reference& ref) {
    StreamLayout l;
    const auto& v = ref.videoTrack();
    l.codec = v.video.codec;
    l.nalLengthSize = v.video.nalLengthSize;
    l.rtmdSize = ref.rtmdSampleSize;
    l.videoTimescale = v.timescale;
    l.frameDuration = ref.frameDuration;
    uint32_t largest = v.sizes.constant;
    for (uint32_t s : v.sizes.sizes) largest = std::max(largest, s);
    if (largest > 0) l.maxNalSize = std::min<int64_t>(l.maxNalSize, int64_t(largest) * 4 + (1 << 20));
    for (int a : ref.audio) {
        const auto& t = ref.tracks[size_t(a)];
        l.audio.push_back({t.audio.bytesPerFrame, t.timescale});
    }
    return l;
}

int64_t StreamLayout::audioFramesFor(size_t track, int64_t framesBefore, int64_t frames,
                                     int64_t placedBefore) const {
    __int128 ticks = __int128(framesBefore + frames) * frameDuration * audio.at(track).timescale;
    int64_t total = int64_t(ticks / videoTimescale);
    return std::max<int64_t>(0, total - placedBefore);
}

bool GroupWalker::rtmdAt(int64_t offset, bool allowPartial) const {
    uint8_t h[12];
    size_t got = src_.read(offset, h, sizeof h);
    if (got == sizeof h)
        return std::equal(h, h + 4, kRtmdPrefix) && std::equal(h + 8, h + 12, kRtmdTag);
    if (!allowPartial || got == 0 || offset + int64_t(got) != src_.size()) return false;
    for (size_t i = 0; i < got; ++i) {
        if (i < 4 && h[i] != kRtmdPrefix[i]) return false;
        if (i >= 8 && h[i] != kRtmdTag[i - 8]) return false;
    }
    return true;
}

GroupWalker::Nal GroupWalker::readNal(int64_t at) const {
    Nal n;
    n.offset = at;
    const int64_t size = src_.size();
    if (at >= size) return n;  // Eof
    const int ls = layout_.nalLengthSize, hs = nalHeaderSize(layout_.codec);
    uint8_t buf[kNalWindow + 4];
    size_t got = src_.read(at, buf, kNalWindow + size_t(ls));
    if (got < size_t(ls + hs)) {
        n.state = Nal::State::Truncated;
        return n;
    }
    uint32_t len = 0;
    for (int i = 0; i < ls; ++i) len = len << 8 | buf[i];
    auto h = parseNalHeader(layout_.codec, buf + ls, got - size_t(ls));
    if (!h || len < uint32_t(hs) || int64_t(len) > layout_.maxNalSize) {
        n.state = Nal::State::Invalid;
        return n;
    }
    n.header = *h;
    n.end = at + ls + int64_t(len);
    size_t avail = std::min<size_t>(got - size_t(ls), len);
    n.head.assign(buf + ls, buf + ls + avail);
    n.state = n.end > size ? Nal::State::Beyond : Nal::State::Ok;
    return n;
}

bool GroupWalker::zeroTail(int64_t from) const {
    int64_t remaining = src_.size() - from;
    if (remaining <= 0 || remaining > kMaxZeroTail) return false;
    auto bytes = src_.readVector(from, size_t(remaining));
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

bool GroupWalker::indexFollows(int64_t at) const {
    // A finished file given as the RSV: its media data ends where the movie
    // header (or metadata after it) begins.
    const auto h = peekBoxHeader(src_, at);
    if (!h) return false;
    return (h->type == fourcc("moov") || h->type == fourcc("meta") || h->type == fourcc("free")) &&
           h->size32 >= 8 && int64_t(h->size32) <= src_.size() - at;
}

std::optional<int64_t> GroupWalker::closesAt(int64_t p, const std::vector<int64_t>& audioFrames,
                                             std::vector<int64_t>* used, bool* atEnd) const {
    const int64_t size = src_.size();
    // The computed size is tried first and may end the file; camera rounding
    // that differs by a sample or two is accepted only when the next group's
    // full rtmd header confirms it.
    auto attempt = [&](int64_t delta, bool strict) -> std::optional<int64_t> {
        int64_t q = p;
        for (size_t t = 0; t < audioFrames.size(); ++t) {
            int64_t f = audioFrames[t] + delta;
            if (f < 0) return std::nullopt;
            q += f * layout_.audio[t].bytesPerFrame;
        }
        if (q > size) return std::nullopt;
        bool end = false;
        if (q == size) {
            if (strict) return std::nullopt;
            end = true;
        } else if (!rtmdAt(q, !strict)) {
            if (strict || !(zeroTail(q) || indexFollows(q))) return std::nullopt;
            end = true;
        }
        *atEnd = end;
        used->clear();
        for (int64_t f : audioFrames) used->push_back(f + delta);
        return q;
    };
    if (auto q = attempt(0, false)) return q;
    if (audioFrames.empty()) return std::nullopt;
    for (int64_t d : {1, -1, 2, -2})
        if (auto q = attempt(d, true)) return q;
    return std::nullopt;
}

// What reading one picture's NAL units after its delimiter found.
struct GroupWalker::PictureRead {
    int64_t end = 0;                                 // after the last NAL unit taken in
    std::vector<std::pair<int64_t, int>> boundaries; // (offset after a NAL, slices so far)
    bool closed = false;          // the last picture ends where the group's audio confirms its end
    bool nextAud = false;         // another picture's delimiter follows
    bool pictureFollows = false;  // the read stopped at another picture's NAL unit
    Nal::State stop = Nal::State::Ok;
    std::vector<int64_t> usedAudio;  // closed: the audio sample frames per track
    int64_t groupEnd = 0;            // closed: where the next group starts
};

GroupResult GroupWalker::finishGroup(GroupResult& g, GroupResult::Status s, std::string why, int64_t at) const {
    g.status = s;
    g.reason = std::move(why);
    g.end = at;
    g.keptEnd = g.start + int64_t(g.frames.size()) * layout_.rtmdSize;
    for (const auto& f : g.frames) g.keptEnd = std::max(g.keptEnd, f.offset + f.size);
    for (const auto& a : g.audio)
        g.keptEnd = std::max(g.keptEnd, a.offset + a.frames * layout_.audio[a.track].bytesPerFrame);
    return g;
}

namespace {
std::string at(int64_t o) { return " at offset " + std::to_string(o); }
}  // namespace

GroupWalker::PictureRead GroupWalker::readPicture(int64_t from, FrameInfo& f, bool last,
                                                  const std::vector<int64_t>& audioFrames, bool* atEnd) const {
    const VideoCodec codec = layout_.codec;
    PictureRead r;
    int64_t p = from;
    int64_t lastAddress = -1;
    while (true) {
        if (last && f.slices > 0) {
            if (auto q = closesAt(p, audioFrames, &r.usedAudio, atEnd)) {
                r.closed = true;
                r.groupEnd = *q;
                break;
            }
        }
        Nal nal = readNal(p);
        if (nal.state != Nal::State::Ok) {
            r.stop = nal.state;
            break;
        }
        if (isAud(codec, nal.header.type)) {
            if (!last) r.nextAud = true;
            else r.stop = Nal::State::Invalid;  // more pictures than rtmd samples
            r.pictureFollows = true;
            break;
        }
        if (isSlice(codec, nal.header.type)) {
            auto st = ps_.parseSliceStart(nal.head.data(), nal.head.size());
            bool fits = st && (f.slices == 0 ? st->firstInPicture
                                             : !st->firstInPicture && int64_t(st->address) > lastAddress);
            if (!fits) {
                r.stop = Nal::State::Invalid;
                r.pictureFollows = st.has_value();
                break;
            }
            if (f.slices == 0) f.slice = ps_.parseSlice(nal.head.data(), nal.head.size());
            lastAddress = st->address;
            ++f.slices;
            if (isRandomAccess(codec, nal.header.type)) f.key = true;
        } else if (codec == VideoCodec::H264 && nal.header.type == 6 &&
                   hasRecoveryPoint(nal.head.data(), nal.head.size())) {
            f.key = true;
        }
        p = nal.end;
        r.boundaries.emplace_back(p, f.slices);
    }
    r.end = p;
    return r;
}

GroupResult GroupWalker::endAtOpenPicture(GroupResult& g, FrameInfo& f, int64_t pos, int64_t i, bool last,
                                          const PictureRead& r, const std::vector<int64_t>& audioFrames) const {
    using S = GroupResult::Status;
    const int64_t size = src_.size();
    const int64_t p = r.end;
    // Slices per picture, learned from earlier groups or else from this
    // group's complete pictures: judges the last picture before a cut.
    auto expectedSlices = [&]() -> int {
        if (slicesPerPicture_ > 0) return slicesPerPicture_;
        if (slicesVary_ || g.frames.empty()) return 0;
        int c = g.frames.front().slices;
        for (const auto& fr : g.frames)
            if (fr.slices != c) return 0;
        return c;
    };
    const bool nearEnd = r.stop == Nal::State::Eof || r.stop == Nal::State::Truncated ||
                         r.stop == Nal::State::Beyond;
    const int expected = expectedSlices();
    std::optional<int64_t> frameEnd;
    if (expected > 0)
        for (const auto& [b, slices] : r.boundaries)
            if (slices == expected) {
                frameEnd = b;
                break;
            }
    if (!last) {
        if (!nearEnd) return finishGroup(g, S::Failed, "invalid NAL unit" + at(p), p);
        if (frameEnd) {
            f.size = uint32_t(*frameEnd - pos);
            g.frames.push_back(f);
        }
        return finishGroup(g, S::Cut, "cut inside frame " + std::to_string(i + (frameEnd ? 1 : 0)), p);
    }
    if (frameEnd) {
        int64_t need = *frameEnd;
        for (size_t t = 0; t < audioFrames.size(); ++t)
            need += audioFrames[t] * layout_.audio[t].bytesPerFrame;
        // A picture right after the last one means the rtmd run was read
        // from its middle: not a whole group.
        if (need <= size && r.pictureFollows)
            return finishGroup(g, S::Failed, "more pictures than rtmd samples" + at(*frameEnd), *frameEnd);
        if (need <= size) {
            f.size = uint32_t(*frameEnd - pos);
            g.frames.push_back(f);
            int64_t q = *frameEnd;
            for (size_t t = 0; t < audioFrames.size(); ++t) {
                if (audioFrames[t] > 0) g.audio.push_back({t, q, audioFrames[t]});
                q += audioFrames[t] * layout_.audio[t].bytesPerFrame;
            }
            g.endUnconfirmed = true;
            return finishGroup(g, S::Failed, "the group does not end where its audio says (no rtmd header" +
                                                 at(need) + ")", need);
        }
        f.size = uint32_t(*frameEnd - pos);
        g.frames.push_back(f);
        // Cut inside the audio: keep the whole sample frames that are there.
        int64_t q = *frameEnd;
        for (size_t t = 0; t < audioFrames.size() && q < size; ++t) {
            int64_t have = std::min(audioFrames[t], (size - q) / layout_.audio[t].bytesPerFrame);
            if (have > 0) g.audio.push_back({t, q, have});
            q += audioFrames[t] * layout_.audio[t].bytesPerFrame;
        }
        g.audioPartial = true;
        return finishGroup(g, S::Cut, "cut inside the audio", size);
    }
    if (!nearEnd) return finishGroup(g, S::Failed, "invalid NAL unit" + at(p), p);
    return finishGroup(g, S::Cut, "cut inside frame " + std::to_string(i), p);
}

GroupResult GroupWalker::readOneGroup(int64_t start, const WalkClock& clock) const {
    GroupResult g;
    g.start = g.rtmdOffset = g.end = g.keptEnd = start;
    const int64_t size = src_.size();
    const VideoCodec codec = layout_.codec;
    using S = GroupResult::Status;

    // The rtmd run: one sample per picture of the group.
    int64_t pos = start, count = 0;
    while (pos < size && rtmdAt(pos, true)) {
        if (pos + layout_.rtmdSize > size) return finishGroup(g, S::Cut, "cut inside the rtmd samples", pos);
        ++count;
        pos += layout_.rtmdSize;
    }
    if (count == 0) {
        if (start >= size) return finishGroup(g, S::Cut, "end of file", start);
        return finishGroup(g, S::Failed, "no rtmd sample header" + at(start), start);
    }
    if (pos >= size) return finishGroup(g, S::Cut, "cut after the rtmd samples", pos);

    std::vector<int64_t> audioFrames;
    for (size_t t = 0; t < layout_.audio.size(); ++t)
        audioFrames.push_back(layout_.audioFramesFor(
            t, clock.framesBefore, count,
            t < clock.audioBefore.size() ? clock.audioBefore[t] : 0));

    // The pictures, each from its delimiter; the last one closes the group.
    for (int64_t i = 0; i < count; ++i) {
        const bool last = i == count - 1;
        Nal aud = readNal(pos);
        if (aud.state == Nal::State::Eof || aud.state == Nal::State::Truncated ||
            aud.state == Nal::State::Beyond)
            return finishGroup(g, S::Cut, "cut at the start of frame " + std::to_string(i), pos);
        if (aud.state == Nal::State::Invalid || !isAud(codec, aud.header.type))
            return finishGroup(g, S::Failed,
                               "no access unit delimiter for frame " + std::to_string(i) + at(pos), pos);
        FrameInfo f;
        f.offset = pos;
        const PictureRead r = readPicture(aud.end, f, last, audioFrames, &g.atEnd);

        if (r.nextAud || r.closed) {
            if (f.slices == 0)
                return finishGroup(g, S::Failed, "frame " + std::to_string(i) + " has no slice" + at(pos), pos);
            f.size = uint32_t(r.end - pos);
            g.frames.push_back(f);
            pos = r.end;
            if (!r.closed) continue;
            // The group end: the audio chunks after the last picture.
            int64_t q = r.end;
            for (size_t t = 0; t < r.usedAudio.size(); ++t) {
                g.audio.push_back({t, q, r.usedAudio[t]});
                q += r.usedAudio[t] * layout_.audio[t].bytesPerFrame;
            }
            return finishGroup(g, S::Complete, "", r.groupEnd);
        }

        // The picture did not end at a delimiter or a confirmed group end:
        // either the file is cut here or the stream is damaged.
        return endAtOpenPicture(g, f, pos, i, last, r, audioFrames);
    }
    return finishGroup(g, S::Failed, "internal: walk ended without a verdict", pos);
}

std::optional<int64_t> GroupWalker::findGroupStart(int64_t from, int64_t limit, const WalkClock& clock,
                                                   bool acceptUnconfirmed) const {
    limit = std::min(limit, src_.size());
    constexpr size_t kBlock = 1 << 20;
    std::vector<uint8_t> buf(kBlock + 3);
    for (int64_t base = from; base < limit; base += kBlock) {
        size_t got = src_.read(base, buf.data(), buf.size());
        for (size_t i = 0; i + 4 <= got && base + int64_t(i) < limit; ++i) {
            if (!std::equal(buf.begin() + long(i), buf.begin() + long(i) + 4, kRtmdPrefix)) continue;
            int64_t off = base + int64_t(i);
            if (!rtmdAt(off)) continue;
            // A marker right after another rtmd sample is inside a run: a
            // group read from there would pair pictures with the wrong
            // samples if the file is cut within it.
            if (layout_.rtmdSize > 0 && off >= int64_t(layout_.rtmdSize) && rtmdAt(off - layout_.rtmdSize))
                continue;
            GroupResult g = readOneGroup(off, clock);
            if (g.status != GroupResult::Status::Failed || (acceptUnconfirmed && g.endUnconfirmed))
                return off;
        }
    }
    return std::nullopt;
}

bool GroupWalker::picturesClean(const GroupResult& group) const {
    const int ls = layout_.nalLengthSize;
    for (const auto& f : group.frames) {
        auto bytes = src_.readVector(f.offset, f.size);
        if (bytes.size() != f.size) return false;
        for (size_t p = 0; p + size_t(ls) <= bytes.size();) {
            size_t len = 0;
            for (int i = 0; i < ls; ++i) len = len << 8 | bytes[p + size_t(i)];
            p += size_t(ls);
            if (len == 0 || len > bytes.size() - p) return false;
            const uint8_t* n = bytes.data() + p;
            if (n[len - 1] == 0) return false;
            for (size_t i = 2; i < len; ++i)
                if (n[i] <= 2 && n[i - 1] == 0 && n[i - 2] == 0) return false;
            p += len;
        }
    }
    return true;
}

void GroupWalker::learn(const GroupResult& group) {
    if (group.status != GroupResult::Status::Complete || slicesVary_) return;
    for (const auto& f : group.frames) {
        if (slicesPerPicture_ == 0) slicesPerPicture_ = f.slices;
        if (f.slices != slicesPerPicture_) {
            slicesVary_ = true;
            slicesPerPicture_ = 0;
            return;
        }
    }
}

}  // namespace tv
