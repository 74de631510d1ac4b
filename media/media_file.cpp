#include "media/media_file.h"

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/display.h>
}

namespace {

// The application keeps no log; a damaged file must not spill decoder
// complaints onto the terminal either.
void silenceFFmpeg() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Demuxers whose files the application deals with. Others are refused because
// FFmpeg would happily read a text file as ANSI art or a picture as a
// one-frame video, which no camera file is.
bool isAcceptedContainer(const AVInputFormat* format) {
    static const char* const kAccepted[] = {
        "mov,mp4,m4a,3gp,3g2,mj2", "mxf", "matroska,webm", "mpegts", "avi", "wav", "mp3", "aac", "aiff", "flac", "caf",
    };
    if (!format || !format->name) return false;
    for (const char* name : kAccepted)
        if (std::strcmp(format->name, name) == 0) return true;
    return false;
}

// The QuickTime/MP4 demuxer takes sizes, rates and durations straight from
// the movie header; asking FFmpeg to verify them would decode frames, which
// on a 4K file costs more than everything else the probe does. Only when the
// header leaves something out (a fragmented file, a sample entry without a
// picture size) are the streams analysed.
bool describesItself(const AVFormatContext& fmt) {
    if (!isQuickTimeFamily(fmt)) return false;
    if (fmt.duration == AV_NOPTS_VALUE) return false;
    for (unsigned i = 0; i < fmt.nb_streams; ++i) {
        const AVCodecParameters* par = fmt.streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && (par->width <= 0 || par->height <= 0)) return false;
    }
    return true;
}

}  // namespace

FormatContextPtr openMediaFile(const std::string& path) {
    silenceFFmpeg();
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return nullptr;

    // "file:" keeps a path with a colon or a scheme-like prefix a local path.
    const std::string url = "file:" + path;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    const int opened = avformat_open_input(&raw, url.c_str(), nullptr, &options);
    av_dict_free(&options);  // whatever the demuxer left unused
    if (opened < 0) return nullptr;  // FFmpeg freed the context itself.
    FormatContextPtr fmt(raw);
    if (!isAcceptedContainer(fmt->iformat)) return nullptr;

    if (!describesItself(*fmt)) {
        // Bounded so that a long or broken stream cannot keep the probe busy.
        fmt->probesize = 8 * 1024 * 1024;
        fmt->max_analyze_duration = 5 * int64_t{AV_TIME_BASE};
        if (avformat_find_stream_info(fmt.get(), nullptr) < 0) return nullptr;
    }
    return fmt;
}

CodecContextPtr openStreamDecoder(const AVStream& st, int threadType, int threads) {
    const AVCodec* codec = avcodec_find_decoder(st.codecpar->codec_id);
    if (!codec) return nullptr;
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx || avcodec_parameters_to_context(ctx.get(), st.codecpar) < 0) return nullptr;
    ctx->pkt_timebase = st.time_base;
    ctx->thread_type = threadType;
    ctx->thread_count = threads;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
    return ctx;
}

bool isQuickTimeFamily(const AVFormatContext& fmt) {
    return fmt.iformat && std::strcmp(fmt.iformat->name, "mov,mp4,m4a,3gp,3g2,mj2") == 0;
}

int firstVideoStream(const AVFormatContext& fmt) {
    for (unsigned i = 0; i < fmt.nb_streams; ++i) {
        const AVStream* s = fmt.streams[i];
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(s->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return static_cast<int>(i);
    }
    return -1;
}

std::optional<std::array<double, 4>> displayTransform(const AVStream& stream) {
    size_t size = 0;
    const uint8_t* data =
        av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(int32_t)) return std::nullopt;
    int32_t m[9];
    std::memcpy(m, data, sizeof m);
    // Row-major 3x3 in 16.16 fixed point: | a b u | c d v | x y w |.
    return std::array<double, 4>{m[0] / 65536.0, m[1] / 65536.0, m[3] / 65536.0, m[4] / 65536.0};
}

int uprightRotation(const AVStream& stream) {
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(int32_t)) return 0;
    int32_t m[9];
    std::memcpy(m, data, sizeof m);
    const double counterClockwise = av_display_rotation_get(m);
    if (!std::isfinite(counterClockwise)) return 0;
    // Nearest quarter turn, clockwise, in [0, 360).
    long quarters = std::lround(-counterClockwise / 90.0) % 4;
    if (quarters < 0) quarters += 4;
    return static_cast<int>(quarters * 90);
}
