#include "media/picture.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

int swsColorspace(const AVFrame& frame) {
    switch (frame.colorspace) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default:
        // Untagged: cameras and encoders follow the picture size.
        return frame.height >= 720 || frame.width >= 1280 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

// The deprecated full-range formats are the plain ones with the range set;
// swscale warns about them and handles the range better when told directly.
AVPixelFormat withoutJpegAlias(AVPixelFormat f, bool& fullRange) {
    switch (f) {
    case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: fullRange = true; return AV_PIX_FMT_YUV440P;
    default: return f;
    }
}

RgbImage rotated(const RgbImage& src, int rotation) {
    if (rotation == 0) return src;
    RgbImage out;
    const bool quarter = rotation == 90 || rotation == 270;
    out.width = quarter ? src.height : src.width;
    out.height = quarter ? src.width : src.height;
    out.pixels.resize(src.pixels.size());
    for (int y = 0; y < src.height; ++y) {
        for (int x = 0; x < src.width; ++x) {
            int dx, dy;
            if (rotation == 90) {  // clockwise
                dx = src.height - 1 - y;
                dy = x;
            } else if (rotation == 180) {
                dx = src.width - 1 - x;
                dy = src.height - 1 - y;
            } else {
                dx = y;
                dy = src.width - 1 - x;
            }
            const uint8_t* s = &src.pixels[(static_cast<size_t>(y) * src.width + x) * 3];
            uint8_t* d = &out.pixels[(static_cast<size_t>(dy) * out.width + dx) * 3];
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
        }
    }
    return out;
}

}  // namespace

FitSize fitInside(int width, int height, int maxSide) {
    const double scale = std::min({1.0, double(maxSide) / width, double(maxSide) / height});
    return {std::max(1, static_cast<int>(std::lround(width * scale))),
            std::max(1, static_cast<int>(std::lround(height * scale)))};
}

std::optional<RgbImage> uprightPicture(const AVFrame& frame, int rotation, int maxSide) {
    if (frame.width <= 0 || frame.height <= 0 || frame.format < 0 || maxSide <= 0) return std::nullopt;
    const bool quarter = rotation == 90 || rotation == 270;
    const FitSize shown = quarter ? fitInside(frame.height, frame.width, maxSide)
                                  : fitInside(frame.width, frame.height, maxSide);
    // Scaled in the stored orientation, turned afterwards.
    const int w = quarter ? shown.height : shown.width;
    const int h = quarter ? shown.width : shown.height;

    bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat source = withoutJpegAlias(static_cast<AVPixelFormat>(frame.format), fullRange);
    SwsPtr sws(sws_getContext(frame.width, frame.height, source, w, h, AV_PIX_FMT_RGB24,
                              SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr));
    if (!sws) return std::nullopt;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(source);
    if (desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB)) {
        const int* coefficients = sws_getCoefficients(swsColorspace(frame));
        sws_setColorspaceDetails(sws.get(), coefficients, fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0,
                                 1 << 16, 1 << 16);
    }

    RgbImage image;
    image.width = w;
    image.height = h;
    image.pixels.resize(static_cast<size_t>(w) * h * 3);
    uint8_t* dst[4] = {image.pixels.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {w * 3, 0, 0, 0};
    if (sws_scale(sws.get(), frame.data, frame.linesize, 0, frame.height, dst, dstStride) != h) return std::nullopt;
    return rotated(image, rotation);
}
