#include "base/bytes.h"

namespace tv {

std::string fourccText(uint32_t type) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((type >> shift) & 0xff);
        s += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return s;
}

void putBe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}
void putBe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}
void putBe64(std::vector<uint8_t>& out, uint64_t v) {
    putBe32(out, uint32_t(v >> 32));
    putBe32(out, uint32_t(v));
}
void setBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}
void setBe64(uint8_t* p, uint64_t v) {
    setBe32(p, uint32_t(v >> 32));
    setBe32(p + 4, uint32_t(v));
}

bool ByteReader::need(size_t n) {
    if (!ok_ || remaining() < n) {
        ok_ = false;
        p_ = end_;
        return false;
    }
    return true;
}
uint8_t ByteReader::u8() { return need(1) ? *p_++ : 0; }
uint16_t ByteReader::u16() {
    if (!need(2)) return 0;
    uint16_t v = be16(p_);
    p_ += 2;
    return v;
}
uint32_t ByteReader::u32() {
    if (!need(4)) return 0;
    uint32_t v = be32(p_);
    p_ += 4;
    return v;
}
uint64_t ByteReader::u64() {
    if (!need(8)) return 0;
    uint64_t v = be64(p_);
    p_ += 8;
    return v;
}
void ByteReader::skip(size_t n) {
    if (need(n)) p_ += n;
}

std::vector<uint8_t> unescapeRbsp(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size);
    int zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = data[i];
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = (b == 0) ? zeros + 1 : 0;
        out.push_back(b);
    }
    return out;
}

uint32_t BitReader::u(int n) {
    if (n <= 0) return 0;
    if (!ok_ || n > 32 || pos_ + static_cast<size_t>(n) > bits_) {
        ok_ = false;
        return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++pos_)
        v = v << 1 | ((data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1);
    return v;
}

uint32_t BitReader::ue() {
    int zeros = 0;
    while (ok_ && u(1) == 0) {
        if (++zeros > 31) {
            ok_ = false;
            return 0;
        }
    }
    if (!ok_) return 0;
    uint64_t v = (uint64_t(1) << zeros) - 1 + u(zeros);
    if (v > 0xFFFFFFFEu) {
        ok_ = false;
        return 0;
    }
    return static_cast<uint32_t>(v);
}

int32_t BitReader::se() {
    uint32_t k = ue();
    return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
}

void BitReader::skip(size_t n) {
    if (!ok_ || pos_ + n > bits_) {
        ok_ = false;
        return;
    }
    pos_ += n;
}

}  // namespace tv
