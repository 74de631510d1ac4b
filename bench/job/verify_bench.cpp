// Verification of a recovered file against the copy of its recording, in the
// same run: the copy the job makes (the file read cold and written to a
// temporary folder beside it, synced) and the whole-file verification the job
// then runs on it (key pictures over the whole file, the last group, three
// thumbnails), with the job's own time budget (a tenth of the copy).
//
// Usage: verify_bench [SIZE_MB [FILE]]. Without FILE a 1080p25 H.264 recording
// of about SIZE_MB (default 300; a 4 GB recording is 4000, which takes
// minutes to make) at 50 Mb/s with a key picture every second is made in the
// build tree's bench-job folder and reused afterwards. Prints the times and
// their ratio; nothing is asserted.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>

#include "job/copy.h"
#include "job/pipeline.h"
#include "media/probe.h"
#include "media/thumbnail.h"
#include "media/verify.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

std::string makeRecording(int sizeMb) {
    const std::filesystem::path dir = BENCH_JOB_DIR;
    const auto file = dir / ("h264_1080p_" + std::to_string(sizeMb) + "mb.mp4");
    if (std::filesystem::exists(file)) return file.string();
    std::filesystem::create_directories(dir);
    const int duration = std::max(1, sizeMb * 8 / 50);  // 50 Mb/s
    std::printf("making %s (%d s of 1080p25 H.264 at 50 Mb/s)...\n", file.c_str(), duration);
    std::fflush(stdout);
    const std::string partial = file.string() + ".partial.mp4";
    const std::string command =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=" +
        std::to_string(duration) + " -c:v libx264 -preset ultrafast -b:v 50M -minrate 50M -maxrate 50M -bufsize 50M "
        "-g 25 -pix_fmt yuv420p '" + partial + "'";
    if (std::system(command.c_str()) != 0) return {};
    std::filesystem::rename(partial, file);
    return file.string();
}

// Drops the file's cached pages, so each measurement reads it from the disk.
void uncache(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fdatasync(fd);
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    const int sizeMb = argc > 1 ? std::atoi(argv[1]) : 300;
    const std::string file = argc > 2 ? argv[2] : makeRecording(sizeMb);
    if (file.empty()) return 1;
    const int64_t size = static_cast<int64_t>(std::filesystem::file_size(file));

    const std::filesystem::path copyDir = std::filesystem::path(file).parent_path() / "copy-target";
    std::filesystem::remove_all(copyDir);
    std::filesystem::create_directories(copyDir);
    const int dir = ::open(copyDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    uncache(file);
    auto start = Clock::now();
    copyFile(CopyIo::system(), file, dir, "copy.mp4", size, 0, 33, [](double, const std::string&) {});
    const double copy = seconds(start);
    ::close(dir);
    const std::string copied = (copyDir / "copy.mp4").string();

    uncache(copied);
    start = Clock::now();
    const double budget = verifyBudget(copy);
    const Value info = probe(copied);
    const double probed = seconds(start);
    const double dur = info.value("dur", 0.0);
    // As the job does: the pictures for the eye beside the check.
    std::future<int> thumbs = std::async(std::launch::async, [&] {
        auto asset = MediaAsset::open(copied);
        int n = 0;
        for (double t : {std::min(dur * 0.01, 10.0), dur * 0.5, std::max(dur - 1.0, 0.0)})
            n += asset && thumbnailDataURL(*asset, t) ? 1 : 0;
        return n;
    });
    const auto check = checkPictures(copied, budget, {});
    const double checked = seconds(start) - probed;
    const int thumbnails = thumbs.get();
    const double verify = seconds(start);
    std::filesystem::remove_all(copyDir);

    std::printf("recording: %.0f MB, %.0f s, %lld frames\n", size / 1e6, dur,
                static_cast<long long>(check ? check->frames : 0));
    std::printf("copy:      %.2f s (%.0f MB/s)\n", copy, size / 1e6 / copy);
    std::printf("verify:    %.2f s (probe %.2f s, check %.2f s: %d key pictures checked, %d errors; %d thumbnails; "
                "budget %.1f s)\n", verify, probed, checked, check ? check->checked : 0, check ? check->errors : -1,
                thumbnails, budget);
    std::printf("verify / copy = %.3f\n", verify / copy);
    return 0;
}
