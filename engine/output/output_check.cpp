#include "output/output_check.h"

#include <cstdint>  // FFmpeg's headers need the fixed-width types first.
#include <memory>
#include <sys/stat.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace tv {
namespace {

// A movie whose first video sample is not among its first packets is not one
// a player would show.
constexpr int kPacketsToVideo = 4096;

struct InputCloser {
    void operator()(AVFormatContext* ctx) const noexcept { avformat_close_input(&ctx); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};

std::string avText(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

}  // namespace

std::optional<std::string> unplayableMovie(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "it cannot be read back";
    // FFmpeg's own complaints would reach the application's output pipe,
    // where a "%" in them would read as progress.
    av_log_set_level(AV_LOG_QUIET);

    AVFormatContext* raw = nullptr;
    const AVInputFormat* mp4 = av_find_input_format("mp4");
    if (int err = avformat_open_input(&raw, path.c_str(), mp4, nullptr); err < 0)
        return "its movie header does not read back (" + avText(err) + ")";
    std::unique_ptr<AVFormatContext, InputCloser> ctx(raw);

    int video = -1;
    for (unsigned i = 0; i < ctx->nb_streams; ++i)
        if (ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            video = int(i);
            break;
        }
    if (video < 0) return "it holds no video track";

    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (!packet) return "out of memory while reading it back";
    for (int n = 0; n < kPacketsToVideo; ++n) {
        int err = av_read_frame(ctx.get(), packet.get());
        if (err < 0) return "no video sample reads back (" + avText(err) + ")";
        const bool ours = packet->stream_index == video;
        const bool inside = packet->size > 0 && packet->pos >= 0 && packet->pos + packet->size <= st.st_size;
        av_packet_unref(packet.get());
        if (ours) {
            if (!inside) return "its first video sample lies outside the file";
            return std::nullopt;
        }
    }
    return "no video sample among its first packets";
}

}  // namespace tv
