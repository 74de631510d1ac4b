// Probe plus the three verification frames of a 60 s 4K HEVC Main10 file,
// against the ffmpeg CLI extracting the same three frames, in the same run.
//
// Usage: bench_media [FILE]. Without FILE the test file is made once (slow:
// minutes) in the build tree's bench-media folder and reused afterwards.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "media/probe.h"
#include "media/thumbnail.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string makeTestFile() {
    const std::filesystem::path dir = BENCH_MEDIA_DIR;
    const auto file = dir / "uhd_hevc10_60s.mp4";
    if (std::filesystem::exists(file)) return file.string();
    std::filesystem::create_directories(dir);
    const auto partial = dir / "uhd_hevc10_60s.partial.mp4";
    std::printf("making %s (60 s 3840x2160 HEVC Main10, keyframe every second)...\n", file.c_str());
    std::fflush(stdout);
    const auto start = Clock::now();
    const std::string command =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=3840x2160:rate=25:duration=60 "
        "-c:v libx265 -preset ultrafast -pix_fmt yuv420p10le -profile:v main10 -g 25 -keyint_min 25 "
        "-x265-params scenecut=0:log-level=error -tag:v hvc1 '" + partial.string() + "'";
    if (!run(command)) return {};
    std::filesystem::rename(partial, file);
    std::printf("made in %.0f s\n", seconds(start));
    return file.string();
}

struct Round {
    double ours = 0;
    double cli = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string file = argc > 1 ? argv[1] : makeTestFile();
    if (file.empty() || !std::filesystem::exists(file)) {
        std::fprintf(stderr, "no test file\n");
        return 1;
    }
    // Both sides read from the page cache.
    run("cat '" + file + "' > /dev/null");

    const double dur = probe(file)["dur"].get<double>();
    const double times[3] = {dur * 0.01, dur * 0.5, dur - 15.0 > 0 ? dur - 15.0 : 0.0};
    const std::string scratch = (std::filesystem::temp_directory_path() / "bench_media_frame.jpg").string();

    const int rounds = 3;
    Round best{1e9, 1e9};
    for (int r = 0; r < rounds; ++r) {
        Round round;
        auto start = Clock::now();
        const Value info = probe(file);
        int frames = 0;
        if (auto asset = MediaAsset::open(file)) {
            for (double at : times) frames += thumbnailDataURL(*asset, at).has_value() ? 1 : 0;
        }
        round.ours = seconds(start);
        if (frames != 3) std::fprintf(stderr, "only %d of 3 frames decoded\n", frames);

        start = Clock::now();
        for (double at : times) {
            std::ostringstream cmd;
            cmd << "ffmpeg -nostdin -hide_banner -loglevel error -y -ss " << at << " -i '" << file
                << "' -frames:v 1 -vf scale=w=640:h=640:force_original_aspect_ratio=decrease -q:v 3 '" << scratch
                << "'";
            if (!run(cmd.str())) std::fprintf(stderr, "ffmpeg CLI failed at %.3f s\n", at);
        }
        round.cli = seconds(start);
        std::printf("round %d: probe + 3 frames %.3f s, ffmpeg CLI 3 frames %.3f s, ratio %.2fx\n", r + 1, round.ours,
                    round.cli, round.ours / round.cli);
        best.ours = std::min(best.ours, round.ours);
        best.cli = std::min(best.cli, round.cli);
    }
    std::remove(scratch.c_str());

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("file %s, %.1f s, frames at %.2f / %.2f / %.2f s\n", file.c_str(), dur, times[0], times[1], times[2]);
    std::printf("best: probe + 3 frames %.3f s, ffmpeg CLI %.3f s, ratio %.2fx (target <= 1.0x)\n", best.ours,
                best.cli, best.ours / best.cli);
    std::printf("peak RSS %.0f MB (target < 400 MB)\n", usage.ru_maxrss / 1024.0);
    return 0;
}
