// Builds boxes into a byte vector; sizes are patched when a box ends.
// Thread: single-threaded. Errors: none (sizes above 4 GiB are not expected
// for the header boxes this writes).
#pragma once

#include "base/bytes.h"

#include <cstdint>
#include <vector>

namespace tv {

class BoxWriter {
public:
    explicit BoxWriter(std::vector<uint8_t>& out) : out_(out) {}
    void begin(uint32_t type) {
        open_.push_back(out_.size());
        putBe32(out_, 0);
        putBe32(out_, type);
    }
    void beginFull(uint32_t type, uint8_t version, uint32_t flags) {
        begin(type);
        putBe32(out_, uint32_t(version) << 24 | (flags & 0xffffff));
    }
    void end() {
        size_t at = open_.back();
        open_.pop_back();
        setBe32(&out_[at], uint32_t(out_.size() - at));
    }
    void u32(uint32_t v) { putBe32(out_, v); }
    void u64(uint64_t v) { putBe64(out_, v); }
    void raw(const std::vector<uint8_t>& bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
    std::vector<uint8_t>& bytes() { return out_; }

private:
    std::vector<uint8_t>& out_;
    std::vector<size_t> open_;
};

}  // namespace tv
