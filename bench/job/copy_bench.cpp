// Throughput of copyWithProgress against cp(1) on the same disk, in the same run.
//
// usage: job_copy_bench [DIR] [GB] [ROUNDS] [DSTDIR]
//        (default: the temp folder, 2 GB, 3 rounds, copies into DIR)
//
// With DSTDIR on another file system (say /dev/shm) the kernel cannot copy
// between the two and cp and copyWithProgress both read and write, as they do
// from a card to a work volume.
//
// Writes a source file of GB decimal gigabytes into DIR, then copies it
// with cp and with copyWithProgress once per round (which goes first
// alternates, so drift in a shared machine's load falls on both). Before each
// copy the source's cached pages are dropped (posix_fadvise DONTNEED after
// fsync, which needs no privileges) and each copy ends with an fsync of its
// destination, which is counted in its time. Prints the best throughput of
// each, the median of the per-round ratios and the ratio of the bests (target:
// at least 0.9), and the progress pushes per second (bound: one per 0.6 s).
// Removes each copy once timed, and the source at the end.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/queues.h"
#include "job/copy.h"
#include "job/job.h"
#include "job/work_folder.h"

namespace {

using Clock = std::chrono::steady_clock;

class CountingPage : public ScriptSink {
public:
    void evaluateScript(const std::string&) override { ++pushes; }
    int pushes = 0;
};

void syncAndDrop(const std::string& path, bool drop) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    if (drop) ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

bool makeSource(const std::string& path, int64_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::vector<char> block(8 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
    for (int64_t done = 0; done < size;) {
        size_t n = static_cast<size_t>(std::min<int64_t>(size - done, int64_t(block.size())));
        ssize_t w = ::write(fd, block.data(), n);
        if (w <= 0) {
            ::close(fd);
            return false;
        }
        block[done % 4096] ^= 1;  // no two blocks alike
        done += w;
    }
    ::close(fd);
    syncAndDrop(path, true);
    return true;
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    const double gb = argc > 2 ? std::atof(argv[2]) : 2.0;
    const int64_t size = static_cast<int64_t>(gb * 1e9);
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const std::string dstDir = argc > 4 ? argv[4] : dir;
    const std::string src = dir + "/tv-bench-src.bin", viaCp = dstDir + "/tv-bench-cp.bin",
                      ours = dstDir + "/tv-bench-ours.bin";
    if (!makeSource(src, size)) {
        std::fprintf(stderr, "cannot write %s\n", src.c_str());
        return 1;
    }

    std::shared_ptr<Bridge> bridge = Bridge::create();
    auto page = std::make_shared<CountingPage>();
    bridge->webView = page;

    double bestCp = 1e30, bestOurs = 1e30, oursForRate = 0;
    int pushesForRate = 0;
    std::vector<double> ratios;
    auto timeCp = [&] {
        syncAndDrop(src, true);
        auto t0 = Clock::now();
        const std::string cmd = "cp '" + src + "' '" + viaCp + "'";
        if (std::system(cmd.c_str()) != 0) std::exit(1);
        syncAndDrop(viaCp, false);
        double t = seconds(t0, Clock::now());
        std::filesystem::remove(viaCp);
        return t;
    };
    auto timeOurs = [&] {
        syncAndDrop(src, true);
        auto job = std::make_shared<Job>("bench000", bridge);
        page->pushes = 0;
        const WorkFolder folder(dstDir, src);
        auto t0 = Clock::now();
        {
            const tv::UniqueFd copy = copyWithProgress(*job, src, size, folder, "ours.partial", 0, 33);
            sealCopy([](int fd) { return ::fsync(fd); }, copy.get(), folder, "ours.partial", "ours.bin");
        }
        double t = seconds(t0, Clock::now());
        runMainLoopUntil([] { return pendingWork() == 0; }, 5000);
        std::filesystem::remove(folder.path() + "/ours.bin");
        return t;
    };
    // The path a copy between two file systems takes (card to work volume):
    // the kernel's copy within a file system refuses it and the copy between
    // two does the work.
    std::vector<double> bufferRatios;
    auto timeBuffered = [&] {
        syncAndDrop(src, true);
        CopyIo io = CopyIo::system();
        io.copyRange = nullptr;
        auto t0 = Clock::now();
        copyFile(io, src, AT_FDCWD, ours, size, 0, 33, [](double, const std::string&) {});
        syncAndDrop(ours, false);
        double t = seconds(t0, Clock::now());
        std::filesystem::remove(ours);
        return t;
    };
    for (int round = 0; round < rounds; ++round) {
        double tCp = 0, tOurs = 0;
        if (round % 2 == 0) {
            tCp = timeCp();
            tOurs = timeOurs();
        } else {
            tOurs = timeOurs();
            tCp = timeCp();
        }
        bestCp = std::min(bestCp, tCp);
        if (tOurs < bestOurs) {
            bestOurs = tOurs;
            oursForRate = tOurs;
            pushesForRate = page->pushes;
        }
        ratios.push_back(tCp / tOurs);
        const double tBuf = timeBuffered();
        bufferRatios.push_back(tCp / tBuf);
        std::printf("round %d: cp %.2f s (%.0f MB/s), copyWithProgress %.2f s (%.0f MB/s), %d pushes, ratio %.2f; "
                    "between file systems %.2f s (%.0f MB/s), ratio %.2f\n",
                    round + 1, tCp, size / tCp / 1e6, tOurs, size / tOurs / 1e6, page->pushes, tCp / tOurs, tBuf,
                    size / tBuf / 1e6, tCp / tBuf);
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(bufferRatios.begin(), bufferRatios.end());
    std::filesystem::remove(src);

    std::printf("size %.2f GB; best cp %.0f MB/s; best copyWithProgress %.0f MB/s\n", size / 1e9,
                size / bestCp / 1e6, size / bestOurs / 1e6);
    std::printf("throughput ratio copyWithProgress / cp: median of rounds %.3f, best / best %.3f (target >= 0.9)\n",
                ratios[ratios.size() / 2], bestCp / bestOurs);
    std::printf("the path between two file systems alone / cp: median of rounds %.3f\n",
                bufferRatios[bufferRatios.size() / 2]);
    // The first chunk always reports; every later report needs 0.6 s more.
    std::printf("progress pushes: %d in %.2f s; after the first, %.2f per s (bound %.2f per s)\n", pushesForRate,
                oursForRate, (pushesForRate - 1) / oursForRate, 1 / 0.6);
    return 0;
}
