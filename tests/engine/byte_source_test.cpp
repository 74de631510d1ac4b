// The file source refuses what is not a regular file it can read, and its
// cached blocks give the file's bytes whichever way a reader goes (corpus
// files are too small to make it drop a block).
#include "base/byte_source.h"
#include "base/errors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace tv {
namespace {

TEST(file_source, missing_and_non_regular_files_are_refused) {
    EXPECT_THROW(FileSource::open("/nonexistent/x.rsv", int(EngineError::Kind::Input)), EngineError);
    EXPECT_THROW(FileSource::open("/tmp", int(EngineError::Kind::Input)), EngineError);
}

TEST(file_source, reads_give_the_files_bytes_across_block_edges_and_dropped_blocks) {
    const int64_t kMiB = 1 << 20, size = 5 * kMiB + 1234;
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t((i * 2654435761u) >> 11);
    const std::string path = ::testing::TempDir() + "/byte_source_test.bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(size));
    auto file = FileSource::open(path, int(EngineError::Kind::Input));
    struct Row {
        int64_t offset;
        size_t n, expect;
    };
    const Row rows[] = {
        {10, 100, 100},           {kMiB - 3, 8, 8},          // across the first edge
        {0, 4, 4},                {4 * kMiB + 7, 64, 64},    // back, then five blocks on
        {2 * kMiB - 1, 2, 2},     {10, 100, 100},            // a block dropped since is read again
        {5 * kMiB - 10, 1000, 1000},  {size - 5, 100, 5},      // into the short last block; clipped
        {size, 1, 0},             {3 * kMiB, kMiB, size_t(kMiB)},  // past the end; a large read
    };
    for (const Row& r : rows) {
        std::vector<uint8_t> got(r.n);
        ASSERT_EQ(file->read(r.offset, got.data(), r.n), r.expect) << r.offset;
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + std::ptrdiff_t(r.expect), bytes.begin() + r.offset))
            << r.offset;
    }
    std::remove(path.c_str());
}

}  // namespace
}  // namespace tv
