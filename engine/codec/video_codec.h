// The two video codecs a camera body records.
#pragma once

namespace tv {

enum class VideoCodec { H264, H265 };

}  // namespace tv
