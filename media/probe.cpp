#include "media/probe.h"

#include <cstdint>  // before the FFmpeg headers
#include <cmath>
#include <limits>

extern "C" {
#include <libavutil/bswap.h>
}

#include "media/codec_text.h"
#include "media/media_file.h"
#include "media/track_handlers.h"

namespace {

// A size under the display transform: absolute value, fraction dropped.
// Absent when it does not make a sensible integer.
std::optional<int64_t> truncatedSize(double v) {
    v = std::fabs(v);
    if (!std::isfinite(v) || v >= 9.0e18) return std::nullopt;
    return static_cast<int64_t>(v);
}

// A frame rate as the platform's 32-bit nominal rate, to three decimals.
double nominalFps(const AVStream& s) {
    AVRational rate = s.avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = s.r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) return 0.0;
    const double wide = static_cast<float>(av_q2d(rate));
    const double rounded = std::round(wide * 1000.0) / 1000.0;  // halves away from zero
    return std::isfinite(rounded) ? rounded : 0.0;
}

void describeVideo(const AVStream& s, bool hasSampleEntries, Value& out) {
    const double w = s.codecpar->width;
    const double h = s.codecpar->height;
    double tw = w, th = h;
    if (const auto t = displayTransform(s)) {
        const auto& [a, b, c, d] = *t;
        tw = a * w + c * h;
        th = b * w + d * h;
    }
    const auto iw = truncatedSize(tw);
    const auto ih = truncatedSize(th);
    if (iw && ih) {
        out["w"] = *iw;
        out["h"] = *ih;
    }
    out["fps"] = nominalFps(s);
    // Only QuickTime/MP4 tracks have a sample entry to name; other
    // containers put unrelated numbers into the tag (MPEG-TS its stream type).
    // FFmpeg keeps the code with its first character in the lowest byte.
    if (hasSampleEntries && s.codecpar->codec_tag != 0) out["codec"] = codecText(av_bswap32(s.codecpar->codec_tag));
}

bool isTimedMetadata(const AVStream& s, const std::map<uint32_t, uint32_t>& handlers) {
    if (s.codecpar->codec_type != AVMEDIA_TYPE_DATA && s.codecpar->codec_type != AVMEDIA_TYPE_UNKNOWN) return false;
    if (s.codecpar->codec_tag == MKTAG('r', 't', 'm', 'd')) return true;
    const auto it = handlers.find(static_cast<uint32_t>(s.id));
    return it != handlers.end() && it->second == fourCC('m', 'e', 't', 'a');
}

}  // namespace

Value probe(const std::string& path) {
    Value out = Value::object();
    out["dur"] = 0;
    out["audio_tracks"] = 0;
    out["meta_tracks"] = 0;
    try {
        const FormatContextPtr fmt = openMediaFile(path);
        if (!fmt) return out;

        if (fmt->duration != AV_NOPTS_VALUE) {
            const double seconds = static_cast<double>(fmt->duration) / AV_TIME_BASE;
            if (std::isfinite(seconds)) out["dur"] = seconds;
        }
        const int video = firstVideoStream(*fmt);
        if (video >= 0) describeVideo(*fmt->streams[video], isQuickTimeFamily(*fmt), out);

        const auto handlers = isQuickTimeFamily(*fmt) ? trackHandlers(path) : std::map<uint32_t, uint32_t>{};
        int64_t audio = 0, meta = 0;
        for (unsigned i = 0; i < fmt->nb_streams; ++i) {
            const AVStream& s = *fmt->streams[i];
            if (s.codecpar->codec_type == AVMEDIA_TYPE_AUDIO) ++audio;
            if (isTimedMetadata(s, handlers)) ++meta;
        }
        out["audio_tracks"] = audio;
        out["meta_tracks"] = meta;
    } catch (...) {
        // Only allocation can throw here; the answer stays the empty description.
    }
    return out;
}
