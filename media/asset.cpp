// MediaAsset on FFmpeg: the demuxer and the video decoder are opened once and
// reused for every frame asked of the asset.
#include "media/asset.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "media/media_file.h"
#include "media/picture.h"

namespace {

// Upper bound on the packets read for one frame, so that a damaged index
// (a "keyframe" that is none, timestamps that never reach the target) ends
// in an absent frame instead of a read of the whole file.
constexpr int kMaxPacketsPerFrame = 3000;

class FFmpegAsset final : public MediaAsset {
public:
    FFmpegAsset(FormatContextPtr fmt, int stream, CodecContextPtr decoder)
        : fmt_(std::move(fmt)), stream_(stream), decoder_(std::move(decoder)),
          rotation_(uprightRotation(*fmt_->streams[stream_])), packet_(av_packet_alloc()),
          frame_(av_frame_alloc()), kept_(av_frame_alloc()) {}

    bool ready() const { return packet_ && frame_ && kept_; }

    std::optional<RgbImage> frameAt(double at, int maxSide) override {
        if (!decodeAt(at, Start::nearTarget) && !decodeAt(at, Start::atBeginning)) return std::nullopt;
        return uprightPicture(*kept_, rotation_, maxSide);
    }

private:
    // Containers without a keyframe index (MPEG-TS) seek by timestamp alone
    // and may land after the keyframe the target needs; decoding from the
    // beginning is the fallback for them.
    enum class Start { nearTarget, atBeginning };

    // Leaves in kept_ the first frame at or after `at`, or the last frame
    // decoded before the stream ran out. False when none decoded, or when the
    // packet limit came first (the frame found would not be near `at`).
    bool decodeAt(double at, Start start) {
        const AVStream* st = fmt_->streams[stream_];
        const double tb = av_q2d(st->time_base);
        if (!std::isfinite(at) || at < 0) at = 0;
        if (!(tb > 0)) return false;
        const double ticks = std::min(at / tb, 4.0e18);
        const int64_t origin = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        const int64_t target = origin + static_cast<int64_t>(ticks);
        const int64_t end = st->duration > 0 ? origin + st->duration : INT64_MIN;

        // Backward lands on the keyframe at or before the target; when no
        // keyframe lies before it (a target ahead of the first frame), the
        // first one after it is the answer anyway.
        if (start == Start::atBeginning) {
            // A timestamp seek without an index is as imprecise at the start
            // as anywhere; the first byte is exact where the format allows it.
            const bool byteSeek = !(fmt_->iformat->flags & AVFMT_NO_BYTE_SEEK) &&
                                  av_seek_frame(fmt_.get(), -1, 0, AVSEEK_FLAG_BYTE) >= 0;
            if (!byteSeek && av_seek_frame(fmt_.get(), stream_, origin, AVSEEK_FLAG_BACKWARD) < 0) return false;
        } else if (av_seek_frame(fmt_.get(), stream_, target, AVSEEK_FLAG_BACKWARD) < 0 &&
                   av_seek_frame(fmt_.get(), stream_, target, 0) < 0) {
            return false;
        }
        avcodec_flush_buffers(decoder_.get());
        av_frame_unref(kept_.get());
        bool haveFrame = false;

        for (int packets = 0;; ++packets) {
            if (packets == kMaxPacketsPerFrame) return false;
            if (av_read_frame(fmt_.get(), packet_.get()) < 0) break;
            if (packet_->stream_index != stream_) {
                av_packet_unref(packet_.get());
                continue;
            }
            // Frames before the target that nothing refers to need not be
            // decoded at all; beyond the stream's end every frame is kept,
            // since the last one is the answer there.
            const bool beforeTarget = packet_->pts != AV_NOPTS_VALUE && packet_->pts < target && target < end;
            decoder_->skip_frame = beforeTarget ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
            const int sent = avcodec_send_packet(decoder_.get(), packet_.get());
            av_packet_unref(packet_.get());
            // A packet that does not decode is skipped; later ones may.
            if (sent < 0 && sent != AVERROR(EAGAIN)) continue;
            if (receiveUntil(target, haveFrame)) return true;
        }
        // End of the stream: drain what the decoder still holds.
        avcodec_send_packet(decoder_.get(), nullptr);
        if (receiveUntil(target, haveFrame)) return true;
        // The last frame stands in for a target beyond it, but not for one
        // whose pictures the file promises and no longer holds (a cut-off
        // file): an early frame there would pass for the one asked.
        if (!haveFrame) return false;
        if (end == INT64_MIN) return true;  // no length known to check against
        return coversTarget(*kept_, std::min(target, end - 1));
    }

    // Whether the frame is still on screen at `target`.
    bool coversTarget(const AVFrame& frame, int64_t target) const {
        const AVStream* st = fmt_->streams[stream_];
        if (frame.best_effort_timestamp == AV_NOPTS_VALUE) return false;
        int64_t shown = frame.pkt_duration;
        if (shown <= 0 && st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0)
            shown = av_rescale_q(1, av_inv_q(st->avg_frame_rate), st->time_base);
        return frame.best_effort_timestamp + std::max<int64_t>(shown, 0) >= target;
    }

    // Takes the frames the decoder has ready; true once one reaches the target.
    bool receiveUntil(int64_t target, bool& haveFrame) {
        while (avcodec_receive_frame(decoder_.get(), frame_.get()) >= 0) {
            const int64_t pts = frame_->best_effort_timestamp;
            av_frame_unref(kept_.get());
            av_frame_move_ref(kept_.get(), frame_.get());
            haveFrame = true;
            // A frame without a time cannot be placed; take it rather than
            // decode the rest of the file.
            if (pts == AV_NOPTS_VALUE || pts >= target) return true;
        }
        return false;
    }

    FormatContextPtr fmt_;
    int stream_;
    CodecContextPtr decoder_;
    int rotation_;
    PacketPtr packet_;
    FramePtr frame_;
    FramePtr kept_;
};

// One frame at a time is wanted, but it may lie a second of frames past the
// keyframe; frame threads decode those in parallel. Each thread holds
// pictures of its own (25 MB apiece for 4K 10-bit), so the count is capped:
// 4 threads keep a 4K decode near 300 MB, 8 pass 430 MB.
CodecContextPtr openDecoder(const AVStream& st) {
    const unsigned cores = std::thread::hardware_concurrency();
    return openStreamDecoder(st, FF_THREAD_FRAME | FF_THREAD_SLICE, static_cast<int>(std::clamp(cores, 1u, 4u)));
}

}  // namespace

std::unique_ptr<MediaAsset> MediaAsset::open(const std::string& path) {
    try {
        FormatContextPtr fmt = openMediaFile(path);
        if (!fmt) return nullptr;
        const int stream = firstVideoStream(*fmt);
        if (stream < 0) return nullptr;
        // Only the video track is read; the demuxer skips the others' packets.
        for (unsigned i = 0; i < fmt->nb_streams; ++i)
            if (static_cast<int>(i) != stream) fmt->streams[i]->discard = AVDISCARD_ALL;
        CodecContextPtr decoder = openDecoder(*fmt->streams[stream]);
        if (!decoder) return nullptr;
        auto asset = std::make_unique<FFmpegAsset>(std::move(fmt), stream, std::move(decoder));
        if (!asset->ready()) return nullptr;
        return asset;
    } catch (...) {
        return nullptr;
    }
}
