#include "base/copy_frontier.h"

#include "base/engine_contract.h"
#include "base/errors.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

namespace tv {
namespace {

constexpr int kPollMs = 100;
constexpr size_t kLongestRecord = 64;

bool startsWith(const std::string& s, const char* lead) { return s.compare(0, std::strlen(lead), lead) == 0; }

// The number after `lead`, or -1 when the rest is not a plain decimal.
int64_t numberAfter(const std::string& line, const char* lead) {
    const std::string digits = line.substr(std::strlen(lead));
    if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoll(digits);
}

}  // namespace

std::unique_ptr<CopyFrontier> CopyFrontier::inherited(int fd) {
    struct stat st {};
    if (::fcntl(fd, F_GETFD) < 0 || ::fstat(fd, &st) != 0) return nullptr;
    // Anything else left open there by whoever started us is not ours to read.
    if (!S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode)) return nullptr;
    UniqueFd records(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (records.get() < 0)
        throw EngineError(EngineError::Kind::Input, std::string("cannot follow the copy: ") + std::strerror(errno));
    ::close(fd);
    auto frontier = std::make_unique<CopyFrontier>(std::move(records));
    frontier->expectedSize();
    return frontier;
}

CopyFrontier::CopyFrontier(UniqueFd records) : fd_(std::move(records)), reader_([this] { drain(); }) {}

CopyFrontier::~CopyFrontier() {
    stopping_ = true;
    if (reader_.joinable()) reader_.join();
}

int64_t CopyFrontier::expectedSize() {
    std::unique_lock<std::mutex> hold(lock_);
    moved_.wait(hold, [this] { return size_ >= 0 || ended_; });
    if (size_ < 0) throw EngineError(EngineError::Kind::Input, "the copy being followed announced no length" +
                                                                   (fault_.empty() ? "" : ": " + fault_));
    return size_;
}

int64_t CopyFrontier::waitFor(int64_t end, const std::atomic<bool>* stop) {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        // Records that make no sense (or a copy of another length) leave no
        // byte of it to be trusted.
        if (fault_.empty() && (complete_ || written_ >= end)) return written_;
        if (ended_)
            throw EngineError(EngineError::Kind::Input, "the copy of the RSV stopped at " + std::to_string(written_) +
                                                            " bytes before it was complete" +
                                                            (fault_.empty() ? "" : " (" + fault_ + ")"));
        if (stop && stop->load()) return -1;
        moved_.wait_for(hold, std::chrono::milliseconds(kPollMs));
    }
}

void CopyFrontier::drain() {
    std::string pending;
    char buf[4096];
    while (!stopping_) {
        pollfd p{fd_.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, kPollMs);
        if (ready < 0 && errno == EINTR) continue;
        ssize_t n = ready > 0 ? ::read(fd_.get(), buf, sizeof buf) : ready == 0 ? -2 : -1;
        if (n == -2 || (n < 0 && errno == EINTR)) continue;
        std::lock_guard<std::mutex> hold(lock_);
        if (n <= 0) {
            if (n < 0) fault_ = std::strerror(errno);
            ended_ = true;
        } else {
            pending.append(buf, size_t(n));
            for (size_t nl; !ended_ && (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
                take(pending.substr(0, nl));
            if (pending.size() > kLongestRecord) {
                fault_ = "a record too long";
                ended_ = true;
            }
        }
        moved_.notify_all();
        if (ended_ || complete_) return;
    }
}

void CopyFrontier::take(const std::string& line) {
    using namespace engine_contract;
    int64_t n = -1;
    if (size_ < 0) {
        if (startsWith(line, kFollowSize)) n = numberAfter(line, kFollowSize);
        if (n < 0) fault_ = "the first record is not its length";
        else size_ = n;
    } else if (startsWith(line, kFollowWritten) && (n = numberAfter(line, kFollowWritten)) >= written_) {
        written_ = n;
    } else if (startsWith(line, kFollowComplete) && (n = numberAfter(line, kFollowComplete)) >= written_) {
        written_ = n;
        complete_ = true;
        // The engine walked a file of the announced length; another one it did not.
        if (n != size_) fault_ = "it ended at " + std::to_string(n) + " bytes, not the announced " + std::to_string(size_);
    } else {
        fault_ = "an unreadable record";
    }
    if (!fault_.empty()) {
        complete_ = false;
        ended_ = true;
    }
}

}  // namespace tv
