// The file source refuses what is not a regular file it can read, and reads a
// copy still being written only as far as the copy says it has got. (The
// corpus repairs prove its reads, whole and followed.)
#include "base/byte_source.h"
#include "base/errors.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

namespace tv {
namespace {

TEST(file_source, missing_and_non_regular_files_are_refused) {
    EXPECT_THROW(FileSource::open("/nonexistent/x.rsv", int(EngineError::Kind::Input)), EngineError);
    EXPECT_THROW(FileSource::open("/tmp", int(EngineError::Kind::Input)), EngineError);
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
}

}  // namespace
}  // namespace tv
