#include "rsv/one_group.h"
#include "rsv/walker_parts.h"

#include "mp4/box.h"

#include "base/bytes.h"

#include <algorithm>

namespace tv {
namespace {

constexpr uint8_t kRtmdPrefix[4] = {0x00, 0x1C, 0x01, 0x00};
constexpr uint8_t kRtmdTag[4] = {0xF0, 0x01, 0x00, 0x10};
// Damaged rtmd samples bridged within one run (a group's pictures at most).
constexpr int64_t kMaxDamagedRtmd = 64;
// Zeros after the last group are tail padding only when this short.
constexpr int64_t kMaxZeroTail = 1 << 20;

}  // namespace

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
    return readNalAt(src_, at, src_.size(), layout_.codec, layout_.nalLengthSize, kNalWindow, layout_.maxNalSize);
}

bool GroupWalker::zeroTail(int64_t from) const {
    int64_t remaining = src_.size() - from;
    if (remaining <= 0 || remaining > kMaxZeroTail) return false;
    auto bytes = src_.readVector(from, size_t(remaining));
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

bool GroupWalker::zerosAt(int64_t at, size_t n) const {
    const auto bytes = src_.readVector(at, n);
    return bytes.size() == n && std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
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
        } else if (q - p >= int64_t(layout_.rtmdSize) && rtmdAt(q - layout_.rtmdSize)) {
            // Inside the next group's rtmd run: bytes missing from the sound
            // (a hole as long as whole samples), not its end.
            return std::nullopt;
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


GroupResult GroupWalker::finishGroup(GroupResult& g, GroupResult::Status s, std::string why, int64_t at) const {
    g.status = s;
    g.reason = std::move(why);
    g.end = at;
    g.keptEnd = g.start + (g.frames.empty() ? 0 : g.frames.back().slot + 1) * int64_t(layout_.rtmdSize);
    for (const auto& f : g.frames) g.keptEnd = std::max(g.keptEnd, f.offset + f.size);
    for (const auto& a : g.audio)
        g.keptEnd = std::max(g.keptEnd, a.offset + a.frames * layout_.audio[a.track].bytesPerFrame);
    return g;
}

namespace {
std::string at(int64_t o) { return " at offset " + std::to_string(o); }

// hh:mm:ss (BCD) at bytes 13..15, the frame at 16..17 and the nominal rate
// at 18..19 of an rtmd header, as a frame count.
std::optional<int64_t> timecodeOf(const uint8_t* h) {
    auto bcd = [](uint8_t b) { return (b >> 4) < 10 && (b & 15) < 10 ? (b >> 4) * 10 + (b & 15) : 99; };
    const int hh = bcd(h[13]), mm = bcd(h[14]), ss = bcd(h[15]);
    const int ff = h[16] << 8 | h[17], rate = h[18] << 8 | h[19];
    if (hh > 23 || mm > 59 || ss > 59 || rate == 0 || rate > 300 || ff >= rate) return std::nullopt;
    return (int64_t(hh) * 3600 + mm * 60 + ss) * rate + ff;
}
}  // namespace

// Samples of an rtmd run whose headers damage destroyed: the run goes on,
// or the pictures begin, a whole number of samples further. 0 when a
// delimiter is right here or nothing of the kind follows.
int64_t GroupWalker::damagedRtmdAt(int64_t pos) const {
    auto delimiterAt = [&](int64_t at) {
        Nal n = readNal(at);
        return n.state == Nal::State::Ok && isAud(layout_.codec, n.header.type);
    };
    if (layout_.rtmdSize == 0 || delimiterAt(pos)) return 0;
    for (int64_t j = 1; j <= kMaxDamagedRtmd; ++j) {
        const int64_t at = pos + j * int64_t(layout_.rtmdSize);
        if (at >= src_.size()) return 0;
        if (rtmdAt(at) || delimiterAt(at)) return j;
    }
    return 0;
}

std::vector<int64_t> GroupWalker::audioFramesOf(int64_t pictures, const WalkClock& clock) const {
    std::vector<int64_t> out;
    for (size_t t = 0; t < layout_.audio.size(); ++t)
        out.push_back(layout_.audioFramesFor(t, clock.framesBefore, pictures,
                                             t < clock.audioBefore.size() ? clock.audioBefore[t] : 0));
    return out;
}

GroupWalker::PictureRead GroupWalker::readPicture(int64_t from, FrameInfo& f, bool last,
                                                  const std::vector<int64_t>& audioFrames, bool* atEnd,
                                                  int64_t limit) const {
    const VideoCodec codec = layout_.codec;
    PictureRead r;
    int64_t p = from;
    int64_t lastAddress = -1;
    while (p < limit) {
        if (last && f.slices > 0) {
            if (auto q = closesAt(p, audioFrames, &r.usedAudio, atEnd)) {
                r.closed = true;
                r.groupEnd = *q;
                break;
            }
        }
        Nal nal = readNal(p);
        if (nal.state == Nal::State::Ok && nal.end > limit) nal.state = Nal::State::Invalid;
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
            if (f.slices == 0) {
                f.slice = ps_.parseSlice(nal.head.data(), nal.head.size());
                f.firstSliceType = nal.header.type;
            }
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
        // A picture that has all its slices is whole before a cut, and before
        // damage that begins right at its end as zeros (no NAL unit starts
        // with eight zero bytes). Other bytes there may be a last slice whose
        // length runs over a hole into what follows: not known to be whole.
        if (frameEnd && (nearEnd || zerosAt(*frameEnd, 8))) {
            f.size = uint32_t(*frameEnd - pos);
            g.frames.push_back(f);
        }
        if (!nearEnd) return finishGroup(g, S::Failed, "invalid NAL unit" + at(p), p);
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
    while (pos < size) {
        if (rtmdAt(pos, true)) {
            if (pos + layout_.rtmdSize > size) return finishGroup(g, S::Cut, "cut inside the rtmd samples", pos);
            ++count;
            pos += layout_.rtmdSize;
            continue;
        }
        const int64_t damaged = count > 0 ? damagedRtmdAt(pos) : 0;
        if (damaged == 0) break;
        count += damaged;
        g.damagedRtmd += damaged;
        pos += damaged * layout_.rtmdSize;
    }
    if (count == 0) {
        if (start >= size) return finishGroup(g, S::Cut, "end of file", start);
        return finishGroup(g, S::Failed, "no rtmd sample header" + at(start), start);
    }
    g.slots = count;
    uint8_t head[20];
    if (src_.readExact(start, head, sizeof head)) g.timecode = timecodeOf(head);
    if (pos >= size) return finishGroup(g, S::Cut, "cut after the rtmd samples", pos);

    const std::vector<int64_t> audioFrames = audioFramesOf(count, clock);

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
        f.slot = int(i);
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

bool GroupWalker::frameClean(const FrameInfo& f) const {
    auto bytes = src_.readVector(f.offset, f.size);
    if (bytes.size() != f.size) return false;
    return forEachNal(bytes.data(), bytes.size(), layout_.nalLengthSize, [](const uint8_t* n, size_t len) {
        if (n[len - 1] == 0) return false;
        for (size_t i = 2; i < len; ++i)
            if (n[i] <= 2 && n[i - 1] == 0 && n[i - 2] == 0) return false;
        return true;
    });
}

bool GroupWalker::picturesClean(const GroupResult& group) const {
    return std::all_of(group.frames.begin(), group.frames.end(), [&](const FrameInfo& f) { return frameClean(f); });
}

std::optional<bool> GroupWalker::continuesAfter(const FrameInfo& lastRef, const FrameInfo& next) const {
    if (layout_.codec != VideoCodec::H264 || !lastRef.slice || !next.slice) return std::nullopt;
    if (next.key) return true;
    const H264Sps* sps = ps_.h264SpsFor(next.slice->ppsId);
    if (!sps || sps->gapsAllowed || sps != ps_.h264SpsFor(lastRef.slice->ppsId)) return std::nullopt;
    const uint32_t maxFrameNum = 1u << sps->log2MaxFrameNum;
    return next.slice->frameNum == (lastRef.slice->frameNum + 1) % maxFrameNum;
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
