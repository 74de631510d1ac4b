// Times scanRSV against `find DIR -name '*.RSV'` over the same generated tree
// of about 100,000 files and folders, in the same run, caches warm, and prints
// the ratio of the medians. Not part of the test suite.
//
// usage: scan_bench [--dir PARENT] [--reps N] [--keep]
//   the tree goes into a fresh folder under PARENT (default $TMPDIR or /tmp)
//   and is removed afterwards unless --keep is given.
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scan/scan.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

void makeFile(const std::string& path, off_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    if (size > 0 && ftruncate(fd, size) != 0) std::perror("ftruncate");
    close(fd);
}

void makeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

// Two card volumes shaped like camera cards, 10 x 10 x 10 leaf folders of 49
// clips each, plus a handful of RSVs with big sparse references beside them.
long buildTree(const std::string& mountDir) {
    long entries = 0;
    const char* volumes[] = {"CARD_A", "CARD_B"};
    for (const char* vol : volumes) {
        const std::string root = mountDir + "/" + vol;
        makeDir(root);
        ++entries;
        for (int a = 0; a < 10; ++a) {
            const std::string da = root + "/DCIM" + std::to_string(a);
            makeDir(da);
            ++entries;
            for (int b = 0; b < 10; ++b) {
                const std::string db = da + "/" + std::to_string(100 + b) + "MSDCF";
                makeDir(db);
                ++entries;
                for (int c = 0; c < 5; ++c) {
                    const std::string dc = db + "/CLIP" + std::to_string(c);
                    makeDir(dc);
                    ++entries;
                    for (int f = 0; f < 99; ++f) {
                        const char* ext = (f % 3 == 0) ? ".MP4" : (f % 3 == 1) ? ".XML" : ".JPG";
                        makeFile(dc + "/C" + std::to_string(f) + ext, 0);
                        ++entries;
                    }
                }
            }
        }
        // A few interrupted recordings with references in their folders.
        for (int r = 0; r < 3; ++r) {
            const std::string folder = root + "/DCIM" + std::to_string(r * 3) + "/10" + std::to_string(r) + "MSDCF/CLIP1";
            makeFile(folder + "/R" + std::to_string(r) + ".RSV", 2'000'000'000);
            makeFile(folder + "/REF" + std::to_string(r) + "a.MP4", 60'000'000);
            makeFile(folder + "/REF" + std::to_string(r) + "b.MP4", 70'000'000);
            entries += 3;
        }
    }
    return entries;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double timeFind(const std::string& dir) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string d = dir, name = "-name", pattern = "*.RSV", prog = "find";
    char* argv[] = {prog.data(), d.data(), name.data(), pattern.data(), nullptr};
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "find", &actions, nullptr, argv, environ) != 0) {
        std::perror("find");
        std::exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const auto end = Clock::now();
    posix_spawn_file_actions_destroy(&actions);
    return seconds(end - start);
}

double timeScan(const std::string& dir, size_t& rsvCount) {
    const auto start = Clock::now();
    const Value result = scanRSV(dir, systemVolumeQueries());
    const auto end = Clock::now();
    rsvCount = result["rsvs"].size();
    return seconds(end - start);
}

}  // namespace

int main(int argc, char** argv) {
    const char* tmp = std::getenv("TMPDIR");
    std::string parent = tmp && *tmp ? tmp : "/tmp";
    int reps = 9;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) parent = argv[++i];
        else if (a == "--reps" && i + 1 < argc) reps = std::max(1, std::atoi(argv[++i]));
        else if (a == "--keep") keep = true;
        else {
            std::fprintf(stderr, "usage: scan_bench [--dir PARENT] [--reps N] [--keep]\n");
            return 2;
        }
    }
    videoExts = {"mp4", "mov", "mxf"};

    std::string mountDir = parent + "/tv-scan-bench-XXXXXX";
    if (!mkdtemp(mountDir.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const auto built = Clock::now();
    const long entries = buildTree(mountDir);
    std::printf("tree: %s, %ld files and folders (built in %.1f s)\n", mountDir.c_str(), entries,
                seconds(Clock::now() - built));

    size_t rsvs = 0;
    timeFind(mountDir);  // warm the caches for both
    timeScan(mountDir, rsvs);
    std::vector<double> findTimes, scanTimes;
    for (int i = 0; i < reps; ++i) {
        findTimes.push_back(timeFind(mountDir));
        scanTimes.push_back(timeScan(mountDir, rsvs));
    }
    const double f = median(findTimes), s = median(scanTimes);
    std::printf("find -name '*.RSV': median %.1f ms over %d runs\n", f * 1e3, reps);
    std::printf("scanRSV:           median %.1f ms over %d runs (%zu RSVs)\n", s * 1e3, reps, rsvs);
    std::printf("ratio scanRSV / find = %.2f (target <= 1.5)\n", s / f);

    if (!keep) {
        nftw(
            mountDir.c_str(), [](const char* p, const struct stat*, int, FTW*) noexcept { return std::remove(p), 0; },
            32, FTW_DEPTH | FTW_PHYS);
    }
    return 0;
}
