// The output path under a failing or unusual volume: a full disk, interrupted
// and short system calls, a kernel copy or a share the volume refuses, a sync
// that fails and a movie that does not read back. The result either appears
// whole under its name or not at all (its temporary file stays).
#include "output/movie_output.h"

#include "base/bytes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace tv {
namespace {

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A fault: given the system's calls, the calls a row runs with.
using Fault = void (*)(OutputIo& io);

ssize_t failWith(int e) {
    errno = e;
    return -1;
}

struct Row {
    const char* name;
    Fault fault;
    std::optional<int> exitCode;  // nothing: the result appears, byte for byte
    bool large = false;           // a payload long enough to be written past the page cache
};

int g_directWrites = 0;  // calls that reached the descriptor past the page cache

// Writes past the page cache (a second descriptor, whatever the test
// folder's volume allows) go through `fault` first: a negative answer fails
// the call (errno set), a positive one caps it, 0 lets it through.
void directWrites(OutputIo& io, std::function<ssize_t()> fault) {
    auto fd = std::make_shared<int>(-1);
    io.openDirect = [fd](int f) { return *fd = ::dup(f); };
    io.pwrite = [write = io.pwrite, fd, fault](int f, const void* p, size_t n, int64_t at) -> ssize_t {
        if (f != *fd) return write(f, p, n, at);
        ++g_directWrites;
        const ssize_t cap = fault();
        return cap < 0 ? cap : write(f, p, cap > 0 ? std::min(n, size_t(cap)) : n, at);
    };
}

// A share that the volume grants: the bytes arrive as a copy would bring them.
void grantShare(OutputIo& io) {
    io.cloneRange = [](int in, int64_t inAt, int out, int64_t outAt, int64_t n) {
        std::vector<uint8_t> b(static_cast<size_t>(n));
        if (::pread(in, b.data(), b.size(), inAt) != n || ::pwrite(out, b.data(), b.size(), outAt) != n) return -1;
        return 0;
    };
}

const Row kRows[] = {
    {"writes_whole_when_the_volume_shares_nothing", [](OutputIo&) {}, std::nullopt},
    {"writes_whole_when_the_volume_shares_the_aligned_part", grantShare, std::nullopt},
    {"writes_whole_through_interrupted_writes_and_copies",
     [](OutputIo& io) {
         auto write = io.pwrite;
         auto copy = io.copyRange;
         io.pwrite = [write, n = 0](int fd, const void* p, size_t len, int64_t at) mutable {
             return ++n % 2 ? failWith(EINTR) : write(fd, p, len, at);
         };
         io.copyRange = [copy, n = 0](int in, int64_t i, int out, int64_t o, size_t len) mutable {
             return ++n % 2 ? failWith(EINTR) : copy(in, i, out, o, len);
         };
     },
     std::nullopt},
    {"writes_whole_through_short_writes_and_reads",
     [](OutputIo& io) {
         auto write = io.pwrite;
         auto read = io.pread;
         io.pwrite = [write](int fd, const void* p, size_t n, int64_t at) { return write(fd, p, std::min<size_t>(n, 7), at); };
         io.pread = [read](int fd, void* p, size_t n, int64_t at) { return read(fd, p, std::min<size_t>(n, 1000), at); };
         io.copyRange = [](int, int64_t, int, int64_t, size_t) { return failWith(EXDEV); };
     },
     std::nullopt},
    {"fails_with_exit_14_when_a_write_finds_the_volume_full",
     [](OutputIo& io) { io.pwrite = [](int, const void*, size_t, int64_t) { return failWith(ENOSPC); }; }, 14},
    {"fails_with_exit_14_when_the_share_finds_the_volume_full",
     [](OutputIo& io) { io.cloneRange = [](int, int64_t, int, int64_t, int64_t) { return int(failWith(ENOSPC)); }; },
     14},
    {"fails_with_exit_14_when_the_buffered_copy_finds_a_quota_reached",
     [](OutputIo& io) {
         auto write = io.pwrite;
         io.copyRange = [](int, int64_t, int, int64_t, size_t) { return failWith(ENOSYS); };
         io.pwrite = [write](int fd, const void* p, size_t n, int64_t at) {
             return n > 4096 ? failWith(EDQUOT) : write(fd, p, n, at);
         };
     },
     14},
    {"fails_with_exit_4_when_a_write_makes_no_progress",
     [](OutputIo& io) { io.pwrite = [](int, const void*, size_t, int64_t) -> ssize_t { return 0; }; }, 4},
    {"fails_with_exit_4_when_the_sync_fails",
     [](OutputIo& io) { io.fsync = [](int) { return int(failWith(EIO)); }; }, 4},
    {"fails_with_exit_4_when_the_source_ends_early",
     [](OutputIo& io) { io.copyRange = [](int, int64_t, int, int64_t, size_t) -> ssize_t { return 0; }; }, 4},
    {"writes_whole_past_the_page_cache_where_the_volume_allows", [](OutputIo&) {}, std::nullopt, true},
    {"writes_whole_through_a_second_descriptor", [](OutputIo& io) { directWrites(io, [] { return ssize_t(0); }); },
     std::nullopt, true},
    {"writes_whole_when_the_volume_cannot_write_past_the_page_cache",
     [](OutputIo& io) { io.openDirect = [](int) { return int(failWith(EINVAL)); }; }, std::nullopt, true},
    {"writes_whole_when_a_write_past_the_cache_is_interrupted_then_short",
     [](OutputIo& io) { directWrites(io, [n = 0]() mutable { return ++n == 1 ? failWith(EINTR) : n == 2 ? 1000 : 0; }); },
     std::nullopt, true},
    {"writes_whole_when_writes_past_the_cache_are_refused_midway",
     [](OutputIo& io) { directWrites(io, [n = 0]() mutable { return ++n == 2 ? failWith(EINVAL) : 0; }); },
     std::nullopt, true},
    {"fails_with_exit_14_when_a_write_past_the_cache_finds_the_volume_full",
     [](OutputIo& io) { directWrites(io, [] { return failWith(ENOSPC); }); }, 14, true},
    {"fails_with_the_callers_kind_when_the_movie_does_not_read_back",
     [](OutputIo& io) { io.readBack = [](const std::string&) -> std::optional<std::string> { return "no moov"; }; },
     3},
};

class OutputPathTest : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/output-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::mt19937 gen(7);
        source_.resize((GetParam().large ? 8 << 20 : 0) + 5 * 4096 + 321);
        g_directWrites = 0;
        for (auto& b : source_) b = uint8_t(gen());
        std::ofstream(dir_ + "/A.RSV", std::ios::binary).write(reinterpret_cast<const char*>(source_.data()),
                                                                std::streamsize(source_.size()));
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    std::string dir_;
    std::vector<uint8_t> source_;
};

TEST_P(OutputPathTest, Writes) {
    const Row& row = GetParam();
    OutputIo io = OutputIo::system();
    io.readBack = [](const std::string&) -> std::optional<std::string> { return std::nullopt; };
    io.cloneRange = [](int, int64_t, int, int64_t, int64_t) { return int(failWith(EOPNOTSUPP)); };
    row.fault(io);
    const std::string out = dir_ + "/A_fixed.MP4";
    const int src = ::open((dir_ + "/A.RSV").c_str(), O_RDONLY | O_CLOEXEC);
    const int64_t from = 100, payload = int64_t(source_.size()) - 150;
    const std::vector<uint8_t> ftyp = {0, 0, 0, 12, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'};
    const std::vector<uint8_t> moov = {0, 0, 0, 8, 'm', 'o', 'o', 'v'};
    int64_t base = 0, shared = -1;
    std::optional<int> exitCode;
    try {
        MovieOutput file(out, io);
        base = file.beginMedia(ftyp, from);
        shared = file.appendShared(src, from, payload, [](int64_t) {});
        file.endMedia();
        file.append(moov);
        file.finish(EngineError::Kind::Input);
    } catch (const EngineError& e) {
        exitCode = e.exitCode();
    }
    ::close(src);
    EXPECT_EQ(exitCode, row.exitCode);
    EXPECT_EQ(exists(out), !row.exitCode);
    EXPECT_EQ(exists(out + ".partial"), bool(row.exitCode));
    if (row.exitCode) return;

    const auto bytes = fileBytes(out);
    ASSERT_EQ(int64_t(bytes.size()), base + payload + int64_t(moov.size()));
    EXPECT_EQ(base % 4096, from % 4096) << "the payload lies on the RSV's block grid";
    EXPECT_TRUE(std::equal(ftyp.begin(), ftyp.end(), bytes.begin()));
    EXPECT_TRUE(std::equal(source_.begin() + from, source_.begin() + from + payload, bytes.begin() + base));
    EXPECT_EQ(be64(&bytes[size_t(base) - 8]), uint64_t(payload + 16)) << "the mdat spans the payload";
    EXPECT_TRUE(std::equal(moov.begin(), moov.end(), bytes.end() - int64_t(moov.size())));
    EXPECT_EQ(shared > 0, row.fault == grantShare);
    if (row.large && std::string(row.name).find("descriptor") != std::string::npos) {
        EXPECT_GT(g_directWrites, 0) << "the payload went through the second descriptor";
    }
}

INSTANTIATE_TEST_SUITE_P(OutputPath, OutputPathTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tv
