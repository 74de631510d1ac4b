// The file source's cached blocks give the file's bytes whichever way a reader goes.
#include "base/byte_source.h"
#include "base/errors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace tv {
namespace {

TEST(file_source, reads_give_the_files_bytes_across_block_edges_and_dropped_blocks) {
    const int64_t M = 1 << 20, size = 5 * M + 1234;
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t((i * 2654435761u) >> 11);
    const std::string path = ::testing::TempDir() + "/byte_source_test.bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(size));
    auto file = FileSource::open(path, int(EngineError::Kind::Input));
    std::remove(path.c_str());  // what is open stays readable
    // Across an edge, back, on through five more blocks, back to a dropped one, the short last one, past the end.
    for (int64_t at : std::initializer_list<int64_t>{9, M - 3, 0, 2 * M + 5, 3 * M, 4 * M + 7, 5 * M - 10, 9, size - 5, size}) {
        std::vector<uint8_t> got = file->readVector(at, 100);
        EXPECT_EQ(got, std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + std::min(size, at + 100))) << at;
    }
}

}  // namespace
}  // namespace tv
