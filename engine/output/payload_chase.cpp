#include "output/payload_chase.h"

namespace tv {
namespace {

// Large steps keep the writeback requests and the sharing calls few; the
// step's end sits on a 1 MiB boundary of the RSV, a multiple of any block
// size a volume shares at, so every step but the first is shareable whole.
constexpr int64_t kStep = 64LL << 20;
constexpr int64_t kGrid = 1LL << 20;

}  // namespace

PayloadChase::PayloadChase(MovieOutput& out, int srcFd, int64_t from, CopyFrontier& frontier)
    : out_(out), srcFd_(srcFd), from_(from), frontier_(frontier), thread_([this] { run(); }) {}

PayloadChase::~PayloadChase() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void PayloadChase::run() noexcept {
    try {
        while (!stop_) {
            const int64_t written = frontier_.waitFor(from_ + chased_ + kStep, &stop_);
            if (written < 0) return;
            const bool whole = written < from_ + chased_ + kStep;  // only a complete copy stops short
            const int64_t end = (whole ? written : written / kGrid * kGrid) - from_;
            if (end > chased_) {
                shared_ += out_.appendShared(srcFd_, from_ + chased_, end - chased_, [](int64_t) {});
                chased_ = end;
            }
            // Where the volume shares, sharing a range the copy has just
            // written makes the file system write it out at once while it
            // holds the copy's file: the copy then crawls. What is left is
            // shared at the end instead, after the copy's own flush, in a
            // moment.
            if (whole || shared_ > 0) return;
        }
    } catch (...) {
        failure_ = std::current_exception();
    }
}

int64_t PayloadChase::finish(int64_t length, const std::function<void(int64_t)>& onProgress) {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (failure_) std::rethrow_exception(failure_);
    if (chased_ > length) {
        out_.truncateTo(out_.pos() - (chased_ - length));
    } else if (chased_ < length) {
        frontier_.waitFor(from_ + length);
        const int64_t done = chased_;
        shared_ += out_.appendShared(srcFd_, from_ + done, length - done,
                                     [&](int64_t n) { onProgress(done + n); });
    }
    chased_ = length;
    onProgress(length);
    return shared_;
}

}  // namespace tv
