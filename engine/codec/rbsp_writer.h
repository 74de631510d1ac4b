// Bit writer for H.264/H.265 RBSP syntax (u(n), ue(v), se(v)), ending in
// rbsp_trailing_bits with emulation prevention inserted: the inverse of
// BitReader over unescapeRbsp().
//
// Thread: one object per thread. Errors: none; values must fit their field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tv {

class RbspWriter {
public:
    void u(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
    }
    void flag(bool b) { bit(b ? 1 : 0); }
    void ue(uint32_t v) {
        const uint64_t x = uint64_t(v) + 1;
        int len = 0;
        while ((x >> len) > 1) ++len;
        u(0, len);
        for (int i = len; i >= 0; --i) bit(uint32_t(x >> i) & 1);
    }
    void se(int32_t v) { ue(v > 0 ? uint32_t(2 * int64_t(v) - 1) : uint32_t(-2 * int64_t(v))); }
    // The NAL unit: `header` bytes, then the payload with its trailing bits
    // and emulation prevention bytes.
    std::vector<uint8_t> nal(std::vector<uint8_t> header) {
        bit(1);
        while (bits_ % 8) bit(0);
        int zeros = 0;
        for (uint8_t b : bytes_) {
            if (zeros >= 2 && b <= 3) {
                header.push_back(3);
                zeros = 0;
            }
            header.push_back(b);
            zeros = b == 0 ? zeros + 1 : 0;
        }
        return header;
    }

private:
    void bit(uint32_t b) {
        if (bits_ % 8 == 0) bytes_.push_back(0);
        if (b) bytes_.back() |= uint8_t(0x80 >> (bits_ % 8));
        ++bits_;
    }
    std::vector<uint8_t> bytes_;
    size_t bits_ = 0;
};

}  // namespace tv
