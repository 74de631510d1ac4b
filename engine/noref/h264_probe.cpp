#include "noref/h264_probe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace tv {
namespace {

thread_local int tErrors = 0;

void countErrors(void*, int level, const char*, va_list) noexcept {
    if (level <= AV_LOG_ERROR) ++tErrors;
}

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Every picture's luma starts at 1, a value no camera picture holds (video
// range starts at 16 at 8 bits): what no slice wrote stays 1.
int sentinelBuffer(AVCodecContext* c, AVFrame* f, int flags) noexcept {
    const int ret = avcodec_default_get_buffer2(c, f, flags);
    if (ret < 0) return ret;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    const bool wide = d && d->comp[0].depth > 8;
    for (int y = 0; y < f->height; ++y) {
        uint8_t* row = f->data[0] + ptrdiff_t(y) * f->linesize[0];
        if (!wide) {
            std::memset(row, 1, size_t(f->width));
            continue;
        }
        for (int x = 0; x < f->width; ++x) {
            const uint16_t one = 1;
            std::memcpy(row + 2 * x, &one, 2);
        }
    }
    return 0;
}

uint64_t hashFrame(const AVFrame* f, uint64_t h) {
    for (int plane = 0; plane < 3 && f->data[plane]; ++plane) {
        const int rows = plane == 0 ? f->height : AV_CEIL_RSHIFT(f->height, 1);
        const int bytes = std::abs(f->linesize[plane]) < 1 ? 0 : f->linesize[plane];
        for (int y = 0; y < rows; y += 3) {  // a sample of rows is enough to tell pictures apart
            const uint8_t* row = f->data[plane] + ptrdiff_t(y) * bytes;
            for (int x = 0; x < bytes; x += 7) h = (h ^ row[x]) * 1099511628211ull;
        }
    }
    return h;
}

}  // namespace

ProbeResult probeH264(const std::vector<uint8_t>& avcC, const std::vector<std::vector<uint8_t>>& samples,
                      bool measure) {
    return probeDecode(false, avcC, samples, measure);
}

ProbeResult probeDecode(bool hevc, const std::vector<uint8_t>& config, const std::vector<std::vector<uint8_t>>& samples,
                        bool measure, const PictureCheck* check) {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(countErrors); });
    ProbeResult r;
    const AVCodec* codec = avcodec_find_decoder(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (!codec) return r;
    std::unique_ptr<AVCodecContext, CodecFree> ctx(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
    if (!ctx || !frame || !pkt) return r;
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!ctx->extradata) return r;
    std::copy(config.begin(), config.end(), ctx->extradata);
    ctx->extradata_size = int(config.size());
    ctx->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_CAREFUL;
    ctx->thread_count = 1;
    // The measure looks at the blocks as the residual left them, before the
    // loop filter smooths their edges.
    if (measure) ctx->skip_loop_filter = AVDISCARD_ALL;
    if (check) ctx->get_buffer2 = sentinelBuffer;
    tErrors = 0;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0 || tErrors) return r;

    uint64_t hash = 14695981039346656037ull;
    auto drain = [&]() -> bool {
        while (true) {
            int ret = avcodec_receive_frame(ctx.get(), frame.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
            if (ret < 0) return false;
            if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT)) return false;
            hash = hashFrame(frame.get(), hash);
            if (measure) {
                const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
                r.measure.add(frame->data[0], frame->linesize[0], frame->width, frame->height,
                              d ? d->comp[0].depth : 8);
            }
            if (check) {
                const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
                const LumaView view{frame->data[0], frame->linesize[0], frame->width, frame->height,
                                    d && d->comp[0].depth > 8 ? 2 : 1};
                if (frame->pts < 0 || !(*check)(size_t(frame->pts), view)) return false;
            }
            ++r.frames;
            av_frame_unref(frame.get());
        }
    };
    for (const auto& s : samples) {
        if (av_new_packet(pkt.get(), int(s.size())) < 0) return r;
        std::copy(s.begin(), s.end(), pkt->data);
        pkt->pts = int64_t(&s - samples.data());
        int ret = avcodec_send_packet(ctx.get(), pkt.get());
        av_packet_unref(pkt.get());
        if (ret < 0 || tErrors || !drain() || tErrors) return r;
        ++r.accepted;
    }
    if (avcodec_send_packet(ctx.get(), nullptr) < 0 || !drain() || tErrors) return r;
    r.clean = r.frames == samples.size();
    r.hash = hash;
    return r;
}

}  // namespace tv
