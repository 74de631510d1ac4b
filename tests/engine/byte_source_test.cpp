// The file source's cached blocks give the file's bytes whichever way a reader
// goes, and a copy still being written is read only as far as the copy says
// it has got.
#include "base/byte_source.h"
#include "base/errors.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

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

// A 300-byte file, all there, whose copy announces on a socket how far it has
// got: only the records may hold reads back.
struct Followed {
    char path[32] = "/tmp/followed-XXXXXX";
    UniqueFd file{::mkstemp(path)}, ours;
    std::unique_ptr<FileSource> source;

    explicit Followed(const std::string& records) {
        int ends[2];
        EXPECT_TRUE(::ftruncate(file.get(), 300) == 0 && ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
        ours = UniqueFd(ends[0]);
        say(records);
        source = FileSource::open(path, int(EngineError::Kind::Input), std::make_shared<CopyFrontier>(UniqueFd(ends[1])));
    }
    ~Followed() { ::unlink(path); }
    void say(const std::string& r) { EXPECT_EQ(::write(ours.get(), r.data(), r.size()), ssize_t(r.size())); }
    long readAt(int64_t at) {
        char buf[50];
        return long(source->read(at, buf, sizeof buf));
    }
};

TEST(file_source, a_copy_being_written_is_read_as_far_as_it_has_got) {
    // Rows: records after "size 300", whether they end there, a 50-byte read at, what it gives (-1: throws).
    const std::tuple<const char*, bool, int64_t, long> rows[] = {
        {"written 100\n", false, 40, 50},
        {"written 100\ncomplete 300\n", false, 280, 20},   // the plain file, short at its end
        {"written 100\n", true, 150, -1},                   // ended without complete: the copy failed
        {"complete 200\n", false, 150, -1},                 // not the length announced
        {"written 1x\n", false, 150, -1},
        {"written 100\nwritten 50\n", false, 150, -1},     // going back
    };
    for (const auto& [records, closed, at, want] : rows) {
        Followed f(std::string("size 300\n") + records);
        if (closed) f.ours.close();
        EXPECT_EQ(f.source->size(), 300);
        if (want < 0) EXPECT_THROW(f.readAt(at), EngineError) << records;
        else EXPECT_EQ(f.readAt(at), want) << records;
    }
    // Only a pipe or a socket left open is a copy to follow.
    const Followed plain("size 300\n");
    EXPECT_EQ(CopyFrontier::inherited(plain.file.get()), nullptr);
    EXPECT_EQ(CopyFrontier::inherited(999), nullptr);
}

TEST(file_source, a_read_past_what_is_written_waits_for_the_copy) {
    Followed f("size 300\nwritten 100\n");
    std::future<long> read = std::async(std::launch::async, [&] { return f.readAt(150); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    f.say("written 199\n");  // one byte short
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    f.say("written 200\n");
    EXPECT_EQ(read.get(), 50);
    // The block that read cached stops at 200; once more is written it is read again.
    f.say("complete 300\n");
    EXPECT_EQ(f.readAt(240), 50);
}

}  // namespace
}  // namespace tv
