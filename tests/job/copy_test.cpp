#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include "job/copy.h"
#include "job/job.h"
#include "job/job_error.h"
#include "job/work_folder.h"
#include "job_test_support.h"

namespace {

// An in-memory source and destination behind the copy's seam, with the
// faults a card reader or a full disk show.
struct FakeDisk {
    std::string source;
    std::string dest;
    size_t readPos = 0;
    size_t readLimit = SIZE_MAX;   // bytes a read gives at most
    size_t writeLimit = SIZE_MAX;  // bytes a write takes at most (short writes)
    int readCalls = 0, writeCalls = 0;
    int readFailAt = -1, readErrno = 0;  // this read returns -1 with readErrno
    int writeFailAt = -1, writeErrno = 0;
    ssize_t writeFailResult = -1;
    size_t endAt = SIZE_MAX;  // reads give 0 from here on (card pulled)
    bool failOpenSource = false, failOpenDest = false;
    int interruptedReads = 0, interruptedWrites = 0;  // the first calls fail with EINTR
    double clock = 0, tick = 0;
    int opened = 0, closed = 0;
    // Bytes the next read or kernel copy gives: up to `n`, `readLimit` and the source's end.
    size_t take(size_t n) const {
        const size_t end = std::min(source.size(), endAt);
        return std::min({n, readLimit, end - std::min(readPos, end)});
    }
    // The kernel's copies (within a file system unless `kernel` is false,
    // between two when `splice`), counted together: the first `refusals` calls
    // are refused with kernelRefusal; the call numbered kernelFailAt fails
    // with kernelErrno.
    bool kernel = false, splice = false;
    int kernelRefusal = 0, refusals = 1, kernelFailAt = -1, kernelErrno = 0, kernelCalls = 0;

    static ssize_t fail(int errnum) {
        errno = errnum;
        return -1;
    }

    CopyIo io() {
        CopyIo io;
        io.open = [this](int, const char*, int flags, mode_t) {
            const bool reading = (flags & O_ACCMODE) == O_RDONLY;
            if (reading ? failOpenSource : failOpenDest) return int(fail(ENOENT));
            if (!reading) dest.clear();
            ++opened;
            return reading ? 10 : 11;
        };
        io.read = [this](int fd, void* buf, size_t n) -> ssize_t {
            EXPECT_EQ(fd, 10);
            EXPECT_EQ(n, kCopyBuffer);
            clock += tick;
            if (interruptedReads > 0) return --interruptedReads, fail(EINTR);
            if (readCalls++ == readFailAt) return fail(readErrno);
            const size_t k = take(n);
            std::memcpy(buf, source.data() + readPos, k);
            readPos += k;
            return static_cast<ssize_t>(k);
        };
        io.write = [this](int fd, const void* buf, size_t n) -> ssize_t {
            EXPECT_EQ(fd, 11);
            if (interruptedWrites > 0) return --interruptedWrites, fail(EINTR);
            if (writeCalls++ == writeFailAt) return fail(writeErrno), writeFailResult;
            size_t k = std::min(n, writeLimit);
            dest.append(static_cast<const char*>(buf), k);
            return static_cast<ssize_t>(k);
        };
        io.close = [this](int) { return ++closed, 0; };
        io.now = [this] { return clock; };
        auto kernelCopy = [this](int in, int out, size_t n) -> ssize_t {
            EXPECT_EQ(in, 10);
            EXPECT_EQ(out, 11);
            clock += tick;
            const int call = kernelCalls++;
            if (call < refusals && kernelRefusal != 0) return fail(kernelRefusal);
            if (call == kernelFailAt) return fail(kernelErrno);
            const size_t k = take(n);
            dest.append(source, readPos, k);
            readPos += k;
            return static_cast<ssize_t>(k);
        };
        if (kernel) io.copyRange = kernelCopy;
        if (splice) io.sendFile = kernelCopy;
        return io;
    }
};

struct Report {
    double pct;
    std::string detail;
};

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return s;
}

std::vector<Report> copy(FakeDisk& disk, int64_t total, double base = 0, double span = 33) {
    std::vector<Report> reports;
    copyFile(disk.io(), "/card/A001.RSV", AT_FDCWD, "/work/A001.RSV", total, base, span,
             [&](double pct, const std::string& detail) { reports.push_back({pct, detail}); });
    return reports;
}

TEST(copy_test, failures_carry_the_system_text_or_the_fixed_message) {
    struct Row {
        const char* name;
        std::function<void(FakeDisk&)> arrange;
        std::string domain;
        int code;
        std::string message;
    };
    const Row rows[] = {
        {"source cannot be opened", [](FakeDisk& d) { d.failOpenSource = true; }, "copy", 1, "복사 스트림을 열 수 없습니다"},
        {"destination cannot be created", [](FakeDisk& d) { d.failOpenDest = true; }, "copy", 1,
         "복사 스트림을 열 수 없습니다"},
        {"read fails with a reason", [](FakeDisk& d) { d.readFailAt = 1, d.readErrno = EIO; }, "system", EIO,
         "읽기 오류 — 카드 연결을 확인하세요"},
        {"read fails without a reason", [](FakeDisk& d) { d.readFailAt = 1, d.readErrno = 0; }, "copy", 2,
         "읽기 오류 — 카드 연결을 확인하세요"},
        {"disk full", [](FakeDisk& d) { d.writeFailAt = 1, d.writeErrno = ENOSPC; }, "system", ENOSPC,
         "작업 볼륨 공간이 부족합니다 — 다른 볼륨을 고르세요"},
        {"read-only volume", [](FakeDisk& d) { d.writeFailAt = 0, d.writeErrno = EROFS; }, "system", EROFS,
         "작업 볼륨이 읽기 전용입니다 — 쓸 수 있는 다른 볼륨을 고르세요"},
        {"write makes no progress", [](FakeDisk& d) { d.writeFailAt = 1, d.writeFailResult = 0; }, "copy", 3,
         "쓰기 오류 — 작업 볼륨 공간을 확인하세요"},
        {"card pulled mid-copy", [](FakeDisk& d) { d.endAt = 5000; }, "copy", 4,
         "복사가 중간에 끊겼습니다 — 카드 연결을 확인하세요"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeDisk disk;
        disk.source = pattern(20000);
        disk.readLimit = 3000;
        row.arrange(disk);
        try {
            copy(disk, 20000);
            ADD_FAILURE() << "copy succeeded";
        } catch (const JobError& e) {
            EXPECT_EQ(e.domain(), row.domain);
            EXPECT_EQ(e.code(), row.code);
            EXPECT_EQ(std::string(e.what()), row.message);
            // The system's own words go to the log, never into the sentence.
            EXPECT_EQ(e.detail(), e.domain() == "system" ? std::strerror(e.code()) : "");
        }
        EXPECT_EQ(disk.closed, disk.opened);  // every stream closed on the way out
        // What was written stays: a partial copy is never removed.
        EXPECT_EQ(disk.dest, disk.source.substr(0, disk.dest.size()));
    }
}

TEST(copy_test, the_kernel_copy_is_used_where_allowed_and_fails_like_a_read) {
    struct Row {
        const char* name;
        std::function<void(FakeDisk&)> arrange;
        int errnum;  // 0: the copy succeeds
        const char* lead;  // the Korean sentence the failure starts with
    };
    const Row rows[] = {
        {"same file system", [](FakeDisk&) {}, 0, ""},
        {"different file systems: read and write instead", [](FakeDisk& d) { d.kernelRefusal = EXDEV; }, 0, ""},
        {"different file systems: the copy between two instead",
         [](FakeDisk& d) { d.kernelRefusal = EXDEV, d.splice = true; }, 0, ""},
        {"neither kernel copy: read and write instead",
         [](FakeDisk& d) { d.kernelRefusal = EINVAL, d.refusals = 2, d.splice = true; }, 0, ""},
        {"only the copy between two, and the card fails midway",
         [](FakeDisk& d) { d.kernel = false, d.splice = true, d.kernelFailAt = 1, d.kernelErrno = EIO; }, EIO,
         "읽기 오류 — 카드 연결을 확인하세요"},
        {"disk full midway", [](FakeDisk& d) { d.kernelFailAt = 2, d.kernelErrno = ENOSPC; }, ENOSPC,
         "작업 볼륨 공간이 부족합니다 — 다른 볼륨을 고르세요"},
        {"card fails midway", [](FakeDisk& d) { d.kernelFailAt = 1, d.kernelErrno = EIO; }, EIO,
         "읽기 오류 — 카드 연결을 확인하세요"},
        {"interrupted by a signal midway", [](FakeDisk& d) { d.kernelFailAt = 1, d.kernelErrno = EINTR; }, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeDisk disk;
        disk.kernel = true;
        disk.source = pattern(20000);
        disk.readLimit = 3000;
        disk.tick = 1;  // every chunk reports
        row.arrange(disk);
        std::vector<Report> reports;
        try {
            reports = copy(disk, 20000);
            EXPECT_EQ(row.errnum, 0);
            EXPECT_EQ(disk.dest, disk.source);
            EXPECT_EQ(reports.size(), 7u);  // one per chunk of 3000 bytes
            // The buffer only where no kernel copy took the file.
            EXPECT_EQ(disk.readCalls > 0, disk.kernelRefusal != 0 && disk.refusals >= int(disk.kernel) + int(disk.splice));
        } catch (const JobError& e) {
            EXPECT_EQ(e.code(), row.errnum);
            EXPECT_EQ(std::string(e.what()), row.lead);
        }
        EXPECT_EQ(disk.closed, 2);
    }
    FakeDisk empty;  // "nothing to copy" from the kernel is checked by reading
    empty.kernel = true;
    empty.source = pattern(100);
    empty.readLimit = 0;  // the fake kernel copies nothing...
    EXPECT_THROW(copy(empty, 100), JobError);
    EXPECT_EQ(empty.readCalls, 1);  // ...so the copy read for itself
}

TEST(copy_test, short_and_interrupted_calls_still_copy_every_byte) {
    FakeDisk disk;
    disk.source = pattern(50000);
    disk.readLimit = 4096;
    disk.writeLimit = 777;
    disk.interruptedReads = 2;
    disk.interruptedWrites = 2;
    copy(disk, 50000);
    EXPECT_EQ(disk.dest, disk.source);
    EXPECT_EQ(disk.closed, 2);
}

TEST(copy_test, the_sources_pages_are_let_go_only_behind_the_copy) {
    FakeDisk disk;
    disk.source = pattern(2 * kCopyChunk + 5000);
    std::vector<std::pair<int64_t, int64_t>> dropped;
    CopyIo io = disk.io();
    io.dropBehind = [&](int fd, int64_t offset, int64_t length) {
        EXPECT_EQ(fd, 10);
        EXPECT_LE(offset + length, int64_t(disk.readPos));
        dropped.emplace_back(offset, length);
    };
    copyFile(io, "/card/A001.RSV", AT_FDCWD, "/work/A001.RSV", 0, 0, 33, [](double, const std::string&) {});
    EXPECT_EQ(disk.dest, disk.source);
    const int64_t chunk = kCopyChunk;
    EXPECT_EQ(dropped, (std::vector<std::pair<int64_t, int64_t>>{{0, chunk}, {chunk, chunk}}));
}

TEST(copy_test, reports_after_the_first_chunk_then_only_after_more_than_six_tenths_of_a_second) {
    struct Row {
        double tick;  // seconds per chunk of 1000 bytes
        int chunks;
        std::vector<double> pcts;
    };
    const Row rows[] = {
        {0.25, 10, {3.3, 13.2, 23.1, 33.0}},  // chunks at 0.25, 0.5 ... 2.5: reports 0.75 apart
        {0.05, 10, {3.3}},                    // all within 0.6 s of the first
        {0.6, 3, {11.0, 33.0}},               // the chunk exactly 0.6 s later does not report
    };
    for (const Row& row : rows) {
        FakeDisk disk;
        disk.source = pattern(size_t(row.chunks) * 1000);
        disk.readLimit = 1000;
        disk.tick = row.tick;
        std::vector<Report> reports = copy(disk, row.chunks * 1000, 0, 33);
        ASSERT_EQ(reports.size(), row.pcts.size()) << row.tick;
        for (size_t i = 0; i < reports.size(); ++i) EXPECT_NEAR(reports[i].pct, row.pcts[i], 1e-9);
    }
}

TEST(copy_test, size_figures_and_unknown_or_changed_sizes) {
    struct Row {
        const char* name;
        size_t bytes;
        int64_t total;
        double pct;          // of the first report
        std::string detail;  // of the first report; empty: no report
        bool cutShort;
    };
    const Row rows[] = {
        {"size unknown: pct stays at the base", 3000, 0, 10.0, "복사 중 0.0 / 0.0 GB", false},
        {"empty source: no report", 0, 0, 0, "", false},
        {"grew during the copy: capped, no error", 6000, 4000, 43.0, "복사 중 0.0 / 0.0 GB", false},
        {"decimal gigabytes", 100, 2'500'000'000, 10.0, "복사 중 0.0 / 2.5 GB", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeDisk disk;
        disk.source = pattern(row.bytes);
        std::vector<Report> reports;
        bool cut = false;
        try {
            copyFile(disk.io(), "s", AT_FDCWD, "d", row.total, 10, 33,
                     [&](double pct, const std::string& detail) { reports.push_back({pct, detail}); });
        } catch (const JobError& e) {
            cut = e.code() == 4;
        }
        EXPECT_EQ(cut, row.cutShort);
        EXPECT_EQ(disk.closed, 2);
        ASSERT_EQ(reports.size(), row.detail.empty() ? 0u : 1u);
        if (reports.empty()) continue;
        EXPECT_NEAR(reports[0].pct, row.pct, 1e-4);
        EXPECT_EQ(reports[0].detail, row.detail);
    }
}

using CopyFileTest = PageBridgeTest;

TEST_F(CopyFileTest, copies_only_a_regular_file_into_a_new_file) {
    const std::string src = dir / "card/A001.RSV", card = dir / "card/C0001.MP4", fifo = dir / "card/FIFO.RSV";
    writeFile(src, pattern(4096));
    writeFile(card, "card");
    writeFile(dir / "work/earlier.RSV", "another recording's copy");
    ::mkfifo(fifo.c_str(), 0644);
    fs::create_symlink(card, dir / "work/link.RSV");
    fs::create_symlink("/dev/zero", dir / "card/ZERO.RSV");
    const std::string notRegular = "RSV가 일반 파일이 아닙니다", exists = "같은 이름의 파일이 이미 있습니다";
    for (const auto& [from, to, lead] : {std::tuple{fifo, dir / "work/a.RSV", notRegular},  // waits for a writer
                                         std::tuple{dir / "card/ZERO.RSV", dir / "work/b.RSV", notRegular},  // endless
                                         std::tuple{src, dir / "work/earlier.RSV", exists},
                                         std::tuple{src, dir / "work/link.RSV", exists},
                                         // The same file under another spelling of its path.
                                         std::tuple{src, dir / "card/./A001.RSV", exists}}) {
        try {
            copyFile(CopyIo::system(), from, AT_FDCWD, to, 4096, 0, 33, [](double, const std::string&) {});
            ADD_FAILURE() << from << " copied to " << to;
        } catch (const JobError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(lead, 0), 0u) << e.what();
        }
    }
    EXPECT_EQ(readFile(dir / "work/earlier.RSV"), "another recording's copy");
    EXPECT_EQ(readFile(card), "card");
    EXPECT_EQ(readFile(src), pattern(4096));
}

TEST_F(CopyFileTest, a_copy_is_handed_on_unflushed_and_named_only_once_flushed) {
    const std::string src = dir / "card/A001.RSV";
    writeFile(src, pattern(100000));
    fs::create_directories(dir / "work");
    const WorkFolder folder(dir / "work", dir / "elsewhere/A001.RSV");  // the card's rule is not under test
    const tv::UniqueFd copy = copyWithProgress(*std::make_shared<Job>("abcd1234", bridge), src, 100000, folder,
                                               "A.RSV.partial", 0, 33);
    EXPECT_LT(::write(copy.get(), "x", 1), 0);  // the engine reads it (the pipeline tests), never writes it
    // A failed flush keeps the temporary name; EINVAL: nothing to flush.
    for (const auto& [syncErrno, name] : {std::pair{EIO, "A.RSV.partial"}, std::pair{EINVAL, "A.RSV"}}) {
        const auto sync = [e = syncErrno](int) { return errno = e, -1; };
        try {
            sealCopy(sync, copy.get(), folder, "A.RSV.partial", "A.RSV");
        } catch (const JobError& e) {
            EXPECT_EQ(e.code(), EIO);
        }
        EXPECT_EQ(folder.names(), (std::set<std::string>{name}));
    }
}

}  // namespace
