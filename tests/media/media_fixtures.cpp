#include "media_fixtures.h"

#include <turbojpeg.h>

extern "C" {
#include <libavutil/base64.h>
}

#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>

bool shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

bool ffmpeg(const std::string& args, const std::string& out) {
    return shell("ffmpeg -nostdin -y -loglevel error " + args + " '" + out + "'");
}

bool mp4Edit(const std::string& args) { return shell("python3 '" MEDIA_TEST_DIR "/mp4_edit.py' " + args); }

const std::string kAvc = "-c:v libx264 -pix_fmt yuv420p -g 10";
const std::string kHevc10 = "-c:v libx265 -pix_fmt yuv420p10le -x265-params log-level=error";

std::string pattern(const std::string& size, double seconds, const std::string& codec, const std::string& rate) {
    std::ostringstream args;
    args << "-f lavfi -i testsrc2=size=" << size << ":rate=" << rate << ":duration=" << seconds
         << " -preset ultrafast " << codec;
    return args.str();
}

std::string encode(const Scratch& dir, const std::string& name, const std::string& args, int degrees) {
    if (degrees == 0) return ffmpeg(args, dir / name) ? dir / name : "";
    // The CLI keeps the rotate tag only when it copies the stream.
    const std::string stored = dir / ("stored_" + name);
    return ffmpeg(args, stored) &&
                   ffmpeg("-i '" + stored + "' -c copy -metadata:s:v:0 rotate=" + std::to_string(degrees), dir / name)
               ? dir / name
               : "";
}

std::optional<DecodedJpeg> decodeDataUrl(const std::string& url) {
    const std::string prefix = "data:image/jpeg;base64,";
    if (url.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    const std::string text = url.substr(prefix.size());
    std::vector<uint8_t> bytes(text.size());
    const int n = av_base64_decode(bytes.data(), text.c_str(), static_cast<int>(bytes.size()));
    if (n <= 0) return std::nullopt;
    bytes.resize(size_t(n));
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
    int w = 0, h = 0, sub = 0, space = 0;
    unsigned char* data = bytes.data();
    if (tjDecompressHeader3(tj.get(), data, bytes.size(), &w, &h, &sub, &space) != 0) return std::nullopt;
    DecodedJpeg out{w, h, std::vector<uint8_t>(size_t(w) * h * 3)};
    if (tjDecompress2(tj.get(), data, bytes.size(), out.rgb.data(), w, 0, h, TJPF_RGB, 0) != 0) return std::nullopt;
    return out;
}

std::vector<uint8_t> cliFrame(const std::string& file, double at, int width, int height,
                              const std::string& scaleOptions) {
    const std::string raw = file + ".frame.rgb";
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -y -loglevel error -ss " << at << " -i '" << file << "' -frames:v 1 -vf scale=" << width
        << ":" << height << ":flags=bicubic" << scaleOptions << " -pix_fmt rgb24 -f rawvideo '" << raw << "'";
    if (!shell(cmd.str())) return {};
    const std::string bytes = readFile(raw);
    return {bytes.begin(), bytes.end()};
}

double pictureDistance(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width, int height) {
    const size_t size = size_t(width) * height * 3;
    if (a.size() != size || b.size() != size || size == 0) return 1e9;
    double total = 0;
    int blocks = 0;
    for (int by = 0; by + 8 <= height; by += 8) {
        for (int bx = 0; bx + 8 <= width; bx += 8) {
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int y = by; y < by + 8; ++y)
                    for (int x = bx; x < bx + 8; ++x) {
                        const size_t i = (size_t(y) * width + x) * 3 + c;
                        sum += int(a[i]) - int(b[i]);
                    }
                total += std::abs(sum) / 64.0;
                ++blocks;
            }
        }
    }
    return blocks ? total / blocks : 1e9;
}
