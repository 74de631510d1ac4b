// Big-endian field access, a bounds-checked byte cursor, and an RBSP bit
// reader for H.264/H.265 headers. All of them work on caller-owned memory and
// never read outside the span they were given: a read past the end sets a
// failure flag and yields zero instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tv {

inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t be64(const uint8_t* p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }

inline constexpr uint32_t fourcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
           uint32_t(uint8_t(s[2])) << 8 | uint8_t(s[3]);
}
std::string fourccText(uint32_t type);

void putBe16(std::vector<uint8_t>& out, uint16_t v);
void putBe32(std::vector<uint8_t>& out, uint32_t v);
void putBe64(std::vector<uint8_t>& out, uint64_t v);
void setBe32(uint8_t* p, uint32_t v);
void setBe64(uint8_t* p, uint64_t v);

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool ok() const { return ok_; }
    size_t remaining() const { return static_cast<size_t>(end_ - p_); }
    const uint8_t* pos() const { return p_; }
    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    uint64_t u64();
    void skip(size_t n);

private:
    bool need(size_t n);
    const uint8_t* p_;
    const uint8_t* end_;
    bool ok_ = true;
};

// Removes emulation-prevention bytes (00 00 03) from a NAL unit payload.
std::vector<uint8_t> unescapeRbsp(const uint8_t* data, size_t size);

class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : data_(data), bits_(size * 8) {}
    explicit BitReader(const std::vector<uint8_t>& v) : BitReader(v.data(), v.size()) {}
    bool ok() const { return ok_; }
    uint32_t u(int n);  // n <= 32
    bool flag() { return u(1) != 0; }
    uint32_t ue();
    int32_t se();
    void skip(size_t n);
    size_t position() const { return pos_; }  // bits read so far
    size_t size() const { return bits_; }

private:
    const uint8_t* data_;
    size_t bits_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace tv
