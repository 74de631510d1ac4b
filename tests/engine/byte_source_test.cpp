// The file source (cached small reads, direct large ones) returns exactly
// what the memory source returns for the same bytes.
#include "byte_source.h"
#include "errors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <unistd.h>

namespace tv {
namespace {

TEST(file_source, reads_match_the_bytes_at_every_offset_and_length) {
    std::vector<uint8_t> bytes(3 * 4096 + 123);
    std::mt19937 rng(7);
    for (auto& b : bytes) b = uint8_t(rng());
    char path[] = "/tmp/tv_engine_source_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
    auto file = FileSource::open(path, int(EngineError::Kind::Input));
    MemorySource mem(bytes);
    ASSERT_EQ(file->size(), mem.size());
    // Forward, backward, across block edges, past the end, large.
    std::vector<std::pair<int64_t, size_t>> reads = {
        {0, 12}, {4090, 12}, {8191, 2}, {100, 260}, {50, 4}, {12300, 260}, {12400, 100},
        {12410, 4}, {12411, 4}, {-1, 4}, {99999, 4}, {0, 9000}, {4096, 2048}, {4095, 2049}};
    for (int i = 0; i < 300; ++i) reads.emplace_back(int64_t(rng() % 12400), size_t(rng() % 600));
    for (const auto& [offset, n] : reads) {
        std::vector<uint8_t> a(n, 0xEE), b(n, 0xEE);
        size_t ga = file->read(offset, a.data(), n);
        size_t gb = mem.read(offset, b.data(), n);
        ASSERT_EQ(ga, gb) << offset << "+" << n;
        ASSERT_EQ(a, b) << offset << "+" << n;
    }
    unlink(path);
    // An empty read into an empty vector (null data()) reads nothing and
    // touches nothing: the parsers do this for empty boxes.
    EXPECT_EQ(mem.read(15, nullptr, 0), 0u);
    EXPECT_TRUE(mem.readVector(4, 0).empty());
}

TEST(file_source, missing_and_non_regular_files_are_refused) {
    EXPECT_THROW(FileSource::open("/nonexistent/x.rsv", int(EngineError::Kind::Input)), EngineError);
    EXPECT_THROW(FileSource::open("/tmp", int(EngineError::Kind::Input)), EngineError);
}

}  // namespace
}  // namespace tv
