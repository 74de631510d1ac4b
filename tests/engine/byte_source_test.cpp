// The file source refuses what is not a regular file it can read, and reads a
// copy still being written only as far as the copy says it has got. (Its
// cached and direct reads are proven by every corpus repair, which reads
// through it, whole and followed.)
#include "base/byte_source.h"
#include "base/errors.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace tv {
namespace {

TEST(file_source, missing_and_non_regular_files_are_refused) {
    EXPECT_THROW(FileSource::open("/nonexistent/x.rsv", int(EngineError::Kind::Input)), EngineError);
    EXPECT_THROW(FileSource::open("/tmp", int(EngineError::Kind::Input)), EngineError);
}

// A 300-byte file whose copy announces itself on a socket.
struct Followed {
    std::string path;
    UniqueFd ours;
    std::unique_ptr<FileSource> source;

    explicit Followed(const std::string& first) {
        char name[] = "/tmp/followed-XXXXXX";
        UniqueFd fd(::mkstemp(name));
        path = name;
        const std::string bytes(300, 'x');
        EXPECT_EQ(::write(fd.get(), bytes.data(), bytes.size()), 300);  // all there: only the records may hold reads back
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ours = UniqueFd(ends[0]);
        say(first);
        source = FileSource::open(path, int(EngineError::Kind::Input), std::make_shared<CopyFrontier>(UniqueFd(ends[1])));
    }
    ~Followed() { ::unlink(path.c_str()); }
    void say(const std::string& records) { EXPECT_EQ(::write(ours.get(), records.data(), records.size()), ssize_t(records.size())); }
    long readAt(int64_t at) {
        char buf[50];
        return long(source->read(at, buf, sizeof buf));
    }
};

TEST(file_source, a_copy_being_written_is_read_as_far_as_it_has_got) {
    // Rows: records after "size 300"; a read of 50 bytes at; bytes it gives (-1: it throws).
    struct Row {
        const char* why;
        std::string records;
        bool closed;
        int64_t at;
        long want;
    };
    const Row rows[] = {
        {"within what is written", "written 100\n", false, 40, 50},
        {"complete: the plain file, short at its end", "written 100\ncomplete 300\n", false, 280, 20},
        {"records ended without complete: the copy failed", "written 100\n", true, 150, -1},
        {"complete at another length than announced", "complete 200\n", false, 150, -1},
        {"a record that makes no sense", "written 1x\n", false, 150, -1},
        {"a count that goes back", "written 100\nwritten 50\n", false, 150, -1},
    };
    for (const Row& row : rows) {
        Followed f("size 300\n" + row.records);
        if (row.closed) f.ours.close();
        EXPECT_EQ(f.source->size(), 300) << row.why;
        if (row.want < 0) EXPECT_THROW(f.readAt(row.at), EngineError) << row.why;
        else EXPECT_EQ(f.readAt(row.at), row.want) << row.why;
    }
}

TEST(file_source, a_read_past_what_is_written_waits_for_the_copy) {
    Followed f("size 300\nwritten 100\n");
    std::future<long> read = std::async(std::launch::async, [&] { return f.readAt(150); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    f.say("written 199\n");  // one byte short of the read
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    f.say("written 200\n");
    EXPECT_EQ(read.get(), 50);
}

TEST(copy_frontier, only_a_pipe_or_socket_left_open_is_a_copy_to_follow) {
    char name[] = "/tmp/frontier-XXXXXX";
    UniqueFd file(::mkstemp(name));
    ::unlink(name);
    EXPECT_EQ(CopyFrontier::inherited(file.get()), nullptr);
    EXPECT_EQ(CopyFrontier::inherited(999), nullptr);
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    UniqueFd ours(ends[0]);
    const std::string wrong = "written 5\n";
    ASSERT_EQ(::write(ours.get(), wrong.data(), wrong.size()), ssize_t(wrong.size()));
    EXPECT_THROW(CopyFrontier::inherited(ends[1]), EngineError);
}

}  // namespace
}  // namespace tv
