#include "job/followed_copy.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "engine/base/engine_contract.h"
#include "job/job.h"
#include "job/job_error.h"

namespace {

const char kFlushing[] = "복사본을 디스크에 기록하는 중 · 복구 엔진 진행 중";
const char kCopied[] = "복사 완료 — 복구 엔진이 마무리하는 중";

}  // namespace

FollowedCopy::FollowedCopy(Job& job, int64_t total, double span, Copy copy, std::function<void(int)> seal)
    : job_(job), total_(total), span_(span), begun_(monotonicSeconds()) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) throw JobError::system(errno);
    jobEnd_ = tv::UniqueFd(ends[0]);
    engineEnd_ = tv::UniqueFd(ends[1]);
    done_ = std::async(std::launch::async, [this, copy = std::move(copy), seal = std::move(seal)] { run(copy, seal); });
}

FollowedCopy::~FollowedCopy() {
    job_.estimateWith({});  // it reads this copy
    engineEnded();
    if (done_.valid()) done_.wait();
}

// One record. A "written" record that finds the socket full is dropped (the
// next one says more); the last one waits for room, which the engine's
// reader makes, or fails once the engine's end is closed.
void FollowedCopy::send(const std::string& record, bool wait) {
    const std::string line = record + "\n";
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = ::send(jobEnd_.get(), line.data() + done, line.size() - done,
                                 MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the engine is gone: it has its own end to tell
        done += size_t(n);
    }
}

void FollowedCopy::run(Copy copy, std::function<void(int)> seal) {
    using namespace engine_contract;  // the record texts
    tv::UniqueFd whole;
    try {
        send(kFollowSize + std::to_string(total_), true);
        whole = copy([this](int readFd, int64_t copied) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                if (readFd_.get() < 0) readFd_ = tv::UniqueFd(::fcntl(readFd, F_DUPFD_CLOEXEC, 3));
                copied_ = copied;
            }
            moved_.notify_all();
            send(kFollowWritten + std::to_string(copied), false);
        });
        send(kFollowComplete + std::to_string(copied_), true);
    } catch (...) {
        // No "complete": the engine fails on what it reads; it is stopped too.
        jobEnd_.close();
        job_.engine->stop(Job::kEngineGrace);
        copying_ = false;
        {
            std::lock_guard<std::mutex> hold(lock_);
            ended_ = failed_ = true;
        }
        moved_.notify_all();
        throw;
    }
    jobEnd_.close();
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (readFd_.get() < 0) readFd_ = tv::UniqueFd(::fcntl(whole.get(), F_DUPFD_CLOEXEC, 3));
        ended_ = true;
    }
    moved_.notify_all();
    // The engine is on its last stretch; the bar stays the copy's until it is on the disk.
    job_.updateWhile("copy", Value{{"stage", "recover"}, {"detail", kFlushing}, {"rate_mb_s", nullptr}});
    struct Done {
        std::atomic<bool>& copying;
        ~Done() { copying = false; }
    } done{copying_};
    seal(whole.get());
    // The bar now follows the engine, unless it has handed over to
    // verification already.
    job_.updateWhile("recover", Value{{"pct", std::max(span_, enginePct_.load())},
                                      {"detail", kCopied},
                                      {"rate_mb_s", nullptr}});
}

void FollowedCopy::bound(Value& changes) {
    const auto pct = changes.find("pct");
    const bool figure = pct != changes.end() && pct->is_number();
    if (copying()) {
        if (figure) enginePct_ = pct->get<double>();
        for (const char* key : {"pct", "detail", "rate_mb_s"}) changes.erase(key);
    } else if (figure) {
        *pct = std::max(pct->get<double>(), span_);
    }
}

tv::UniqueFd FollowedCopy::awaitStart() {
    std::unique_lock<std::mutex> hold(lock_);
    moved_.wait(hold, [this] { return ended_ || (readFd_.get() >= 0 && copied_ >= kFirstStretch); });
    if (failed_ || readFd_.get() < 0) {
        hold.unlock();
        finish();  // the copy failed: its reason
        throw JobError::system(EBADF);
    }
    return tv::UniqueFd(::fcntl(readFd_.get(), F_DUPFD_CLOEXEC, 3));
}

void FollowedCopy::finish() {
    if (done_.valid()) done_.get();
}

void FollowedCopy::estimate(int folder, std::string name, std::function<double(double)> afterward) {
    tv::UniqueFd own(::fcntl(folder, F_DUPFD_CLOEXEC, 3));
    if (own.get() < 0) return;  // the straight line goes on
    job_.estimateWith({});
    folder_ = std::move(own);
    outputName_ = std::move(name);
    estimate_.emplace(total_, begun_, std::move(afterward));
    job_.estimateWith([this] { return timeLeft(); });
}

TimeLeft FollowedCopy::timeLeft() {
    FollowEstimate::Sample s;
    s.now = monotonicSeconds();
    if (const std::optional<TimeLeft> recent = estimate_->recent(s.now)) return *recent;
    {
        std::lock_guard<std::mutex> hold(lock_);
        s.copied = copied_;
        if (copyPages_.get() < 0 && readFd_.get() >= 0) copyPages_ = tv::UniqueFd(::fcntl(readFd_.get(), F_DUPFD_CLOEXEC, 3));
    }
    if (output_.get() < 0) {
        tv::UniqueFd fd(::openat(folder_.get(), outputName_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) output_ = std::move(fd);
    }
    // Without the kernel's page counts the copy counts as on the disk as it is written.
    const std::optional<FilePages> copy = copyPages_.get() >= 0 ? filePages(copyPages_.get()) : std::nullopt;
    s.unflushed = copy ? copy->unflushed : 0;
    s.cleaned = copy ? copy->cleaned() : s.copied;
    s.behind = systemWritebackBehind();
    struct stat st {};
    if (output_.get() >= 0 && ::fstat(output_.get(), &st) == 0) {
        s.output = int64_t(st.st_size);
        if (const std::optional<FilePages> out = filePages(output_.get())) {
            s.unflushed += out->unflushed;
            s.cleaned += out->cleaned();
        }
        // The chase's first step tells whether the footage is shared.
        constexpr int64_t head = FollowEstimate::kPayloadSeen;
        if (!outputShared_ && *s.output > head) outputShared_ = sharesBlocks(output_.get(), head);
        s.shared = outputShared_.value_or(false);
    }
    return estimate_->at(s);
}
